// The web-server processes: start, signals, and the end of stray ones.
#pragma once

#include <sys/types.h>

#include <string>

enum class WebServerSignal { kShutdown, kRestart };

// <base>/logs/httpd.pid
std::string WebServerPidPath();
// The process id in the pid file's first line, or 0.
pid_t ReadWebServerPid();

// Starts "<own directory>/qxkeld  -f<base>/conf/kelpd.conf". The web server
// detaches itself; *launcher gets the process that was started. 0 when the
// process was created, else 1 (errno tells why).
int StartWebServer(pid_t* launcher);

// SIGTERM (shutdown) or SIGUSR1 (graceful restart) to the pid file's
// process; 0 when sent, else 1.
int SignalWebServer(WebServerSignal kind);

// Ends every qxkeld, then every rotatelogs, that runs from this
// installation's bin directory: SIGTERM, then SIGKILL after a grace period.
void TerminateStaleProcesses();

// The directory of this program's executable, with a final "/".
std::string OwnDirectory();
