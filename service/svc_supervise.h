// Supervision of the web server: its start as a child of the service, its
// graceful restarts (requests merged, never two at once), a health probe
// that notices a server that no longer serves, and starts after a failure
// with a growing delay.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

#include "kel_fd.h"
#include "svc_backoff.h"

class WebServerSupervisor {
 public:
  // regenerate: the files a restart is made from (configuration, map file,
  // php.ini); false when a step failed.
  WebServerSupervisor(const kel::Clock& clock, std::function<bool()> regenerate);

  // The descriptor that becomes readable when Wake() was called.
  bool Open();
  int WakeFd() const { return wake_.Get(); }
  void Wake();

  // The first start; 0 when the process was created, else 1 (errno).
  int Start();
  // Control 128, SIGHUP, an address change; from any thread. The service is
  // start-pending until the restart that follows the last request is done.
  void RequestRestart();
  // Reaps ended children; false when the service must stop (the web
  // server cannot be started).
  bool Reap();

  enum class Outcome { kGoOn, kGaveUp, kRestartFailed };
  // Does what is due now: a requested restart, a delayed start, the end of
  // a restart, a health probe.
  Outcome Run();
  // Milliseconds until Run has something to do; -1 for nothing.
  int MsUntilDue() const;

  // Shuts the web server down and ends whatever it left.
  void Stop();

 private:
  enum class Phase {
    kDown,       // not running; nextStart_ says when it starts again
    kStarting,   // started, not yet answering
    kServing,    // answering; probed now and then
    kReloading,  // told to restart gracefully, not yet through it
  };
  struct PidStamp {
    ino_t inode = 0;
    long long mtimeNs = -1;
    bool operator==(const PidStamp& o) const { return inode == o.inode && mtimeNs == o.mtimeNs; }
  };

  int Launch();
  bool TakePending();
  void MarkServing();
  bool Ended(const std::string& what);
  void Recover(const char* what, Outcome* outcome);
  void EndServer(std::chrono::seconds grace);
  static PidStamp StampOfPidFile();

  const kel::Clock& clock_;
  std::function<bool()> regenerate_;
  RestartBackoff backoff_;
  kel::ScopedFd wake_;

  pid_t server_ = 0;
  bool expectExit_ = false;
  Phase phase_ = Phase::kDown;
  kel::Clock::TimePoint phaseSince_{};
  kel::Clock::TimePoint nextProbe_{};
  std::optional<kel::Clock::TimePoint> nextStart_;
  std::optional<kel::Clock::TimePoint> reloadSeen_;
  PidStamp beforeReload_;
  int strikes_ = 0;

  mutable std::mutex requestLock_;
  bool restartPending_ = false;
};

// One HTTP exchange with the legacy port on 127.0.0.1 (always among the
// bind addresses).
enum class Probe {
  kAnswered,  // a status line came back within the time-out
  kRefused,   // nothing listens (yet)
  kSilent,    // the connection was taken, or hangs, but nothing answers
};
Probe ProbeWebServer(std::chrono::milliseconds timeout);
