// kelstart: the portal's service program.
//   kelstart      the service, in the foreground (systemd runs it so)
//   kelstart /d   the same as an ordinary process, showing its progress
//   kelstart /s   stops the running service
//   kelstart /r   regenerates the configuration and restarts the web server
#include <cstdlib>
#include <string>

#include "kel_dirs.h"
#include "kel_svcctl.h"
#include "svc_cmdline.h"
#include "svc_events.h"
#include "svc_log.h"
#include "svc_process.h"
#include "svc_lock.h"
#include "svc_service.h"
#include "svc_stop.h"
#include "svc_settings.h"

int main(int argc, char** argv) {
  ServiceLogInit();
  ComputeOsDefaults();
  OpenEventLog();

  // The web server and its helpers find the installation's programs first.
  std::string path = BaseDirPath("bin");
  if (const char* old = getenv("PATH")) path += std::string(":") + old;
  setenv("PATH", path.c_str(), 1);

  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) commandLine += ' ';
    commandLine += argv[i];
  }
  bool alreadyRunning = false;
  AcquireInstanceLock(&alreadyRunning);

  switch (ParseCommandLine(commandLine, alreadyRunning)) {
    case RunMode::kService:
      TerminateStaleProcesses();
      TerminateStaleServletContainers();
      return RunService(false);
    case RunMode::kDebug:
      TerminateStaleProcesses();
      TerminateStaleServletContainers();
      return RunService(true);
    case RunMode::kStop:
      StopService();
      return 0;
    case RunMode::kRestart:
      // The running service regenerates and restarts its own web server.
      return RequestServiceRestart() == 1 ? 0 : 1;
    case RunMode::kExit:
      break;
  }
  return 0;
}
