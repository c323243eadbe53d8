#include "svc_service.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kel_dirs.h"
#include "kel_fd.h"
#include "kel_host.h"
#include "kel_svcctl.h"
#include "kel_xml.h"
#include "svc_cert.h"
#include "svc_config.h"
#include "svc_control.h"
#include "svc_events.h"
#include "svc_lock.h"
#include "svc_log.h"
#include "svc_network.h"
#include "svc_process.h"
#include "svc_settings.h"
#include "svc_status.h"
#include "svc_supervise.h"
#include "svc_tomcat.h"

namespace {

constexpr int kExitPreparation = 112;

void Message(const char* text) { ServiceMessageBox("KelSvc", text); }

// The signals the service handles, read from a descriptor; blocked before
// any thread starts, so that every thread inherits the mask.
class ServiceSignals {
 public:
  bool Open() {
    sigemptyset(&set_);
    for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&set_, s);
    if (sigprocmask(SIG_BLOCK, &set_, nullptr) != 0) return false;
    fd_.Reset(signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK));
    return fd_.Valid();
  }
  int Fd() const { return fd_.Get(); }

 private:
  sigset_t set_;
  kel::ScopedFd fd_;
};

int LoadSettingsAndMap() {
  if (LoadSettings() != 0) {
    // A settings file that reads is not at fault when a step after it fails
    // (the web server's configuration could not be written: a full disk):
    // it holds the administrator's settings and stays.
    if (kel::XmlDocument::Load(SettingsFilePath().c_str())) {
      ServiceLog(3,
                 "Unable to start the KEL service due to failure to write the web server configuration file %s, "
                 "try restarting the service.",
                 BaseDirPath("conf/kelpd.conf").c_str());
      return 1;
    }
    unlink(SettingsFilePath().c_str());
    ServiceLog(3,
               "Unable to start the KEL service due to corrupted configuration file, try restarting the service. "
               "Then a default configuration file will be generated for you, but you have to reset the "
               "configuration to your desired settings.");
    return 1;
  }
  if (ResetLegacyMapFile() != 0) {
    ServiceLog(3,
               "Unable to start the KEL service due to failure to write to VEXO map file, try restarting the "
               "service.");
    return 1;
  }
  return 0;
}

}  // namespace

int PrepareWebServer() {
  StartWinsock();
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  PrepareRunDirectory();
  CreateSessionDirectories();
  ProtectWritableDirectories();
  return CheckServerCertificate() == 1 ? 0 : 1;
}

bool RegenerateConfiguration() {
  if (CheckServerCertificate() == 1 && LoadSettings() == 0 && ResetLegacyMapFile() == 0) {
    ScanPhpExtensions();
    WritePhpIni();
    return true;
  }
  ReportServiceEvent(kEventStartFailed, LoadText(167), EventType::kError);
  return false;
}

int RunService(bool debug) {
  g_debugMode = debug;
  // Children of the web server that outlive it come to us and are reaped.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  kel::SteadyClock clock;
  // The servlet container follows every regenerated configuration; once
  // given up, it has the web server regenerated without its connector.
  ServletContainerSupervisor* container = nullptr;
  WebServerSupervisor web(clock, [&container] {
    if (!RegenerateConfiguration()) return false;
    if (container) container->Apply();
    return true;
  });
  ServletContainerSupervisor servlet(clock, [&web] { web.RequestRestart(); });
  container = &servlet;
  // A restart asked for from outside may bring a given-up container back.
  auto restart = [&web, &servlet] {
    servlet.Release();
    web.RequestRestart();
  };
  std::atomic<bool> stopRequested{false};
  ServiceSignals signals;
  ControlServer control;

  auto stopWithError = [&](int textId, int exitCode) {
    if (textId) ReportServiceEvent(kEventStartFailed, LoadText(textId), EventType::kError);
    if (debug) Message(LoadText(106));
    SetState(kStateStopped);
    control.Close();
    return exitCode ? exitCode : 1;
  };

  ServiceControls controls{restart,
                           [&] {
                             stopRequested = true;
                             web.Wake();
                           }};
  if (!web.Open() || !signals.Open() || !control.Open(controls)) return stopWithError(109, errno);
  SetState(kStateStartPending);

  if (PrepareWebServer() != 0) return stopWithError(104, kExitPreparation);
  if (debug) Message("Successfully finished SSLServerInit()");
  if (LoadSettingsAndMap() != 0) return stopWithError(104, kExitPreparation);
  if (debug) Message("Successfully Parsed XML and Generated CONF file");
  ScanPhpExtensions();
  WritePhpIni();
  if (g_serviceSettings.lockLegacyPort) ClaimLegacyPort();
  if (g_serviceSettings.monitorAddressChanges) WatchAddressChanges(restart);
  if (web.Start() != 0) {
    StopAddressWatch();
    return stopWithError(104, errno);
  }
  servlet.Apply();
  SetState(kStateRunning);
  control.AcceptControls();
  ReportServiceEvent(kEventStarted, "", EventType::kInformation);
  if (debug) fprintf(stderr, "%s\n", LoadText(105));

  bool watchStdin = debug;
  bool failed = false;
  while (!stopRequested) {
    pollfd fds[3] = {{signals.Fd(), POLLIN, 0}, {web.WakeFd(), POLLIN, 0}, {watchStdin ? 0 : -1, POLLIN, 0}};
    int due = web.MsUntilDue(), containerDue = servlet.MsUntilDue();
    if (due < 0 || (containerDue >= 0 && containerDue < due)) due = containerDue;
    if (poll(fds, 3, due) < 0 && errno != EINTR) break;

    if (fds[0].revents) {
      signalfd_siginfo info;
      while (read(signals.Fd(), &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) stopRequested = true;
        if (info.ssi_signo == SIGHUP) restart();
      }
      // The container first: the web server's reaping takes any child.
      servlet.Reap();
      if (!web.Reap()) {
        failed = true;
        break;
      }
    }
    if (fds[2].revents) {
      char buf[256];
      ssize_t n = read(0, buf, sizeof buf);
      if (n <= 0)
        watchStdin = false;  // no terminal: only the signals end the run
      else if (memchr(buf, '\n', n))
        stopRequested = true;
    }
    if (fds[1].revents) {
      uint64_t v;
      if (read(web.WakeFd(), &v, sizeof v) < 0) {
      }
    }
    if (stopRequested) break;
    WebServerSupervisor::Outcome outcome = web.Run();
    if (outcome == WebServerSupervisor::Outcome::kGaveUp) {
      failed = true;
      break;
    }
    if (outcome == WebServerSupervisor::Outcome::kRestartFailed) break;  // a failed restart stops the service
    servlet.Run();
  }

  SetState(kStateStopPending);
  StopAddressWatch();
  servlet.Stop();
  web.Stop();
  // The web server would not stay up.
  if (failed) return stopWithError(104, ECHILD);
  ReportServiceEvent(kEventStopped, "", EventType::kInformation);
  SetState(kStateStopped);
  control.Close();
  return 0;
}
