// Supervision of the servlet container: Tomcat runs as a child of the
// service under the workers' account, is probed over its AJP port, is
// started again after a failure with the web server's back-off, is
// restarted with every regenerated configuration and stopped with the
// service. A container that would not stay up is given up: the portal goes
// on without its connector.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "svc_backoff.h"

class ServletContainerSupervisor {
 public:
  // dropConnector: asked once the container is given up, so that the web
  // server is regenerated without the connector.
  ServletContainerSupervisor(const kel::Clock& clock, std::function<void()> dropConnector);

  // After every settings read: runs the container anew from the files just
  // written when the read prepared it, ends it otherwise.
  void Apply();
  // A restart was asked for from outside: a container given up may come
  // back with it.
  void Release();
  // Collects the container once it has ended.
  void Reap();
  // Does what is due now: a start, a probe, the end of a stop.
  void Run();
  // Milliseconds until Run has something to do; -1 for nothing.
  int MsUntilDue() const;
  // Ends the container and whatever of it is left; bounded in time.
  void Stop();

  pid_t Pid() const { return pid_; }

 private:
  enum class Phase {
    kOff,       // not wanted
    kDown,      // wanted; nextStart_ says when it starts
    kStarting,  // started, its connector not yet answering
    kServing,   // answering; probed now and then
    kEnding,    // told to end; started again afterwards when wanted_
  };

  void Launch();
  void Ended(const std::string& what);
  void Exited(int status, bool known);
  void Recover(const char* what);

  const kel::Clock& clock_;
  std::function<void()> dropConnector_;
  std::optional<RestartBackoff> backoff_;
  Phase phase_ = Phase::kOff;
  bool wanted_ = false;
  pid_t pid_ = 0;
  kel::Clock::TimePoint phaseSince_{};
  kel::Clock::TimePoint nextProbe_{};
  kel::Clock::TimePoint nextStart_{};
  int strikes_ = 0;
};

// The command line that runs the instance on the runtime jre:
// java + options + Bootstrap start.
std::vector<std::string> ServletContainerCommand(const std::string& jre);

// One AJP CPing to the container's connector (it needs no secret).
enum class AjpProbe { kAnswered, kRefused, kSilent };
AjpProbe ProbeServletContainer(std::chrono::milliseconds timeout);
