// The web-server processes: start, signals, and the end of stray ones.
#pragma once

#include <sys/types.h>

#include <string>

enum class WebServerSignal { kShutdown, kRestart };

// <write>/run/httpd.pid: the web server writes it at every configuration
// read. It lives where only root writes, and the service reads it only to
// see that a restart has gone through, never to choose whom to signal.
std::string WebServerPidPath();
// The process id in the pid file's first line, or 0.
pid_t ReadWebServerPid();

// Starts "<own directory>/qxkeld -f<base>/conf/kelpd.conf -DFOREGROUND" as a
// child of this process in a session of its own; *server gets its pid. 0
// when the process was created, else 1 (errno tells why).
int StartWebServer(pid_t* server);

// SIGTERM (shutdown) or SIGUSR1 (graceful restart) to the web server the
// service started; 0 when sent, else 1.
int SignalWebServer(pid_t server, WebServerSignal kind);

// Ends every qxkeld, then every rotatelogs, that runs from this
// installation's bin directory: SIGTERM, then SIGKILL after a grace period.
void TerminateStaleProcesses();

// The argument that marks this installation's servlet container among the
// JVMs of the host: its instance directory.
std::string ServletInstanceArgument();
// Ends every process that carries that argument (one a crashed service
// left behind): SIGTERM, then SIGKILL after a grace period.
void TerminateStaleServletContainers();

// The directory of this program's executable, with a final "/".
std::string OwnDirectory();
