#include "svc_supervise.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

#include "kel_svcctl.h"
#include "svc_log.h"
#include "svc_process.h"
#include "svc_status.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A probe every few seconds, two unanswered in a row: a server that stopped
// serving is noticed within about 15 s and serves again within 30 s.
constexpr auto kProbeInterval = seconds(2);
constexpr auto kProbeTimeout = seconds(4);
constexpr int kProbeStrikes = 2;
// A fresh start is probed more often until it answers.
constexpr auto kStartProbeInterval = milliseconds(500);
// A start that does not serve, or a restart that does not finish, by then
// is treated as a server that stopped serving.
constexpr auto kStartLimit = seconds(30);
constexpr auto kReloadLimit = seconds(30);
// The web server rewrites its pid file while it reads its configuration;
// the rest of that read (module start-up) is over well within this time.
// No restart signal is sent before, so restarts never overlap.
constexpr auto kReloadSettle = milliseconds(300);
constexpr auto kReloadPoll = milliseconds(50);
// SIGTERM lets the web server end its children and loggers itself.
constexpr auto kStopGrace = seconds(10);
constexpr auto kRecoverGrace = seconds(3);
constexpr int kLegacyPort = 2301;

std::string ExitText(int status) {
  char buf[64];
  if (WIFEXITED(status))
    snprintf(buf, sizeof buf, "exit code %d", WEXITSTATUS(status));
  else if (WIFSIGNALED(status))
    snprintf(buf, sizeof buf, "signal %d", WTERMSIG(status));
  else
    snprintf(buf, sizeof buf, "status %d", status);
  return buf;
}

int MsUntil(kel::Clock::TimePoint at, kel::Clock::TimePoint now) {
  return static_cast<int>(std::max<long long>(0, std::chrono::duration_cast<milliseconds>(at - now).count()));
}

bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    int left = static_cast<int>(
        std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now()).count());
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    int n = poll(&p, 1, left);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

Probe ProbeWebServer(milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  kel::ScopedFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return Probe::kSilent;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kLegacyPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == ECONNREFUSED) return Probe::kRefused;
    if (errno != EINPROGRESS || !WaitFor(fd.Get(), POLLOUT, deadline)) return Probe::kSilent;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) return Probe::kSilent;
    if (err == ECONNREFUSED) return Probe::kRefused;
    if (err != 0) return Probe::kSilent;
  }
  // The kernel completes a connection on a listening socket by itself: only
  // an answer shows that a worker took it.
  static const char kRequest[] = "OPTIONS * HTTP/1.0\r\n\r\n";
  if (send(fd.Get(), kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) != sizeof kRequest - 1) return Probe::kSilent;
  std::string reply;
  while (reply.size() < 5 && WaitFor(fd.Get(), POLLIN, deadline)) {
    char buf[64];
    ssize_t n = recv(fd.Get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, n);
  }
  return reply.compare(0, 5, "HTTP/") == 0 ? Probe::kAnswered : Probe::kSilent;
}

WebServerSupervisor::WebServerSupervisor(const kel::Clock& clock, std::function<bool()> regenerate)
    : clock_(clock), regenerate_(std::move(regenerate)) {}

bool WebServerSupervisor::Open() {
  wake_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  return wake_.Valid();
}

void WebServerSupervisor::Wake() {
  uint64_t one = 1;
  if (write(wake_.Get(), &one, sizeof one) < 0) {
  }
}

int WebServerSupervisor::Start() { return Launch(); }

int WebServerSupervisor::Launch() {
  // What a former server wrote must not pass for this one's.
  unlink(WebServerPidPath().c_str());
  expectExit_ = false;
  backoff_.Started();
  if (StartWebServer(&server_) != 0) {
    server_ = 0;
    return 1;
  }
  phase_ = Phase::kStarting;
  phaseSince_ = clock_.Now();
  nextProbe_ = phaseSince_ + kStartProbeInterval;
  strikes_ = 0;
  return 0;
}

void WebServerSupervisor::RequestRestart() {
  {
    std::lock_guard<std::mutex> hold(requestLock_);
    restartPending_ = true;
    ChangeState(kStateRunning, kStateStartPending);
  }
  Wake();
}

bool WebServerSupervisor::TakePending() {
  std::lock_guard<std::mutex> hold(requestLock_);
  return std::exchange(restartPending_, false);
}

// Running again, unless another request came in meanwhile: that one is
// answered by the restart that follows.
void WebServerSupervisor::MarkServing() {
  backoff_.Served();
  std::lock_guard<std::mutex> hold(requestLock_);
  if (!restartPending_) ChangeState(kStateStartPending, kStateRunning);
}

bool WebServerSupervisor::Ended(const std::string& what) {
  phase_ = Phase::kDown;
  ChangeState(kStateRunning, kStateStartPending);
  RestartBackoff::Decision d = backoff_.Ended();
  if (d.giveUp) {
    ServiceLog(2, "ServiceMain: %s; %d starts in a row have failed, the service stops.\n", what.c_str(), d.failures);
    return false;
  }
  ServiceLog(2, "ServiceMain: %s; it is started again in %d s.\n", what.c_str(), static_cast<int>(d.delay.count()));
  nextStart_ = clock_.Now() + d.delay;
  return true;
}

bool WebServerSupervisor::Reap() {
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    // Anything else is an orphan of the web server's that came to us.
    if (pid != server_) continue;
    server_ = 0;
    if (expectExit_) continue;
    // What it forked outlives it, its worker holding the ports (and ignoring
    // SIGTERM): all of its session goes now, not a grace period later.
    kill(-pid, SIGKILL);
    // The pid file is written once the configuration has been read.
    bool started = ReadWebServerPid() == pid;
    std::string what = std::string(started ? "the web server exited unexpectedly (" : "the web server did not start (") +
                       ExitText(status) + ")";
    if (!Ended(what)) return false;
  }
  return true;
}

void WebServerSupervisor::EndServer(std::chrono::seconds grace) {
  if (server_ <= 0) return;
  expectExit_ = true;
  kill(server_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + grace;
  while (waitpid(server_, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
    usleep(20000);
  if (kill(server_, 0) == 0) {
    // The whole session the web server leads: its parent and all it forked.
    kill(-server_, SIGKILL);
    waitpid(server_, nullptr, 0);
  }
  server_ = 0;
}

void WebServerSupervisor::Recover(const char* what, Outcome* outcome) {
  EndServer(kRecoverGrace);
  // Its workers and loggers, should any have left its session.
  TerminateStaleProcesses();
  if (!Ended(what)) *outcome = Outcome::kGaveUp;
}

WebServerSupervisor::PidStamp WebServerSupervisor::StampOfPidFile() {
  struct stat st;
  PidStamp stamp;
  if (stat(WebServerPidPath().c_str(), &st) == 0) {
    stamp.inode = st.st_ino;
    stamp.mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  }
  return stamp;
}

WebServerSupervisor::Outcome WebServerSupervisor::Run() {
  Outcome outcome = Outcome::kGoOn;
  auto now = clock_.Now();

  switch (phase_) {
    case Phase::kDown:
      if (nextStart_ && now >= *nextStart_) {
        nextStart_.reset();
        // What the dead server left (its workers may still hold the ports).
        TerminateStaleProcesses();
        if (Launch() != 0 && !Ended("the web server could not be started")) return Outcome::kGaveUp;
      }
      break;
    case Phase::kReloading:
      if (!reloadSeen_ && StampOfPidFile() != beforeReload_ && ReadWebServerPid() == server_) reloadSeen_ = now;
      if (reloadSeen_ && now - *reloadSeen_ >= kReloadSettle) {
        phase_ = Phase::kServing;
        strikes_ = 0;
        nextProbe_ = now + kProbeInterval;
        MarkServing();
      } else if (now - phaseSince_ >= kReloadLimit) {
        Recover("the web server did not finish its restart", &outcome);
      }
      break;
    case Phase::kStarting:
      if (now >= nextProbe_) {
        // Until it listens it is still starting; once it takes connections
        // and leaves them unanswered, it counts as not serving.
        Probe probe = ProbeWebServer(kProbeTimeout);
        if (probe == Probe::kAnswered) {
          phase_ = Phase::kServing;
          strikes_ = 0;
          nextProbe_ = clock_.Now() + kProbeInterval;
          MarkServing();
        } else if ((probe == Probe::kSilent && ++strikes_ >= kProbeStrikes) ||
                   clock_.Now() - phaseSince_ >= kStartLimit) {
          Recover("the web server did not begin to serve", &outcome);
        } else {
          nextProbe_ = clock_.Now() + kStartProbeInterval;
        }
      }
      break;
    case Phase::kServing:
      if (now >= nextProbe_) {
        if (ProbeWebServer(kProbeTimeout) == Probe::kAnswered)
          strikes_ = 0;
        else if (++strikes_ >= kProbeStrikes)
          Recover("the web server stopped serving", &outcome);
        nextProbe_ = clock_.Now() + kProbeInterval;
      }
      break;
  }
  if (outcome != Outcome::kGoOn) return outcome;

  // A restart waits until the one before is through; all requests that
  // came in meanwhile are served by this one.
  if ((phase_ == Phase::kServing || phase_ == Phase::kDown) && TakePending()) {
    if (!regenerate_()) return Outcome::kRestartFailed;
    if (phase_ == Phase::kDown) {
      // Nothing to restart: start it now, from the new files.
      nextStart_.reset();
      TerminateStaleProcesses();
      if (Launch() != 0 && !Ended("the web server could not be started")) return Outcome::kGaveUp;
    } else {
      beforeReload_ = StampOfPidFile();
      reloadSeen_.reset();
      phase_ = Phase::kReloading;
      phaseSince_ = clock_.Now();
      SignalWebServer(server_, WebServerSignal::kRestart);
    }
  }
  return Outcome::kGoOn;
}

int WebServerSupervisor::MsUntilDue() const {
  auto now = clock_.Now();
  {
    std::lock_guard<std::mutex> hold(requestLock_);
    if (restartPending_ && (phase_ == Phase::kServing || phase_ == Phase::kDown)) return 0;
  }
  switch (phase_) {
    case Phase::kDown:
      return nextStart_ ? MsUntil(*nextStart_, now) : -1;
    case Phase::kReloading:
      return static_cast<int>(kReloadPoll.count());
    case Phase::kStarting:
    case Phase::kServing:
      return MsUntil(nextProbe_, now);
  }
  return -1;
}

void WebServerSupervisor::Stop() {
  EndServer(kStopGrace);
  TerminateStaleProcesses();
  Reap();
}
