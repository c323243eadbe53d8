#include "svc_tomcat.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "kel_accounts.h"
#include "kel_fd.h"
#include "kel_unixsock.h"
#include "svc_log.h"
#include "svc_process.h"
#include "svc_servlet.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// A JVM with a few applications to deploy takes seconds, on a busy host
// tens of them; one that does not serve within this time has failed.
constexpr auto kStartLimit = seconds(120);
constexpr auto kStartProbeInterval = milliseconds(250);
constexpr auto kProbeInterval = seconds(5);
constexpr auto kProbeTimeout = seconds(2);
constexpr int kProbeStrikes = 2;
// SIGTERM runs the container's own orderly stop (applications unloaded).
constexpr auto kEndGrace = seconds(15);

// The 5 bytes of an AJP CPing and of the CPong that answers it.
constexpr unsigned char kCPing[] = {0x12, 0x34, 0x00, 0x01, 0x0A};
constexpr unsigned char kCPong[] = {'A', 'B', 0x00, 0x01, 0x09};

std::string ExitText(int status, bool known) {
  char buf[64];
  if (!known)
    snprintf(buf, sizeof buf, "exit status unknown");
  else if (WIFEXITED(status))
    snprintf(buf, sizeof buf, "exit code %d", WEXITSTATUS(status));
  else if (WIFSIGNALED(status))
    snprintf(buf, sizeof buf, "signal %d", WTERMSIG(status));
  else
    snprintf(buf, sizeof buf, "status %d", status);
  return buf;
}

// waitpid for the container alone. The web server's supervisor reaps every
// other child of the service, so the container may be gone already
// (ECHILD): then it ended, its status unknown.
bool Collect(pid_t pid, bool block, int* status, bool* known) {
  for (;;) {
    pid_t r = waitpid(pid, status, block ? 0 : WNOHANG);
    if (r == pid) {
      *known = true;
      return true;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      *known = false;
      return true;
    }
    return false;
  }
}

int MsUntil(kel::Clock::TimePoint at, kel::Clock::TimePoint now) {
  return static_cast<int>(std::max<long long>(0, std::chrono::duration_cast<milliseconds>(at - now).count()));
}

}  // namespace

AjpProbe ProbeServletContainer(milliseconds timeout) {
  kel::ScopedFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return AjpProbe::kSilent;
  timeval tv{static_cast<time_t>(timeout.count() / 1000), static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  setsockopt(fd.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kServletAjpPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
    return errno == ECONNREFUSED ? AjpProbe::kRefused : AjpProbe::kSilent;
  unsigned char reply[sizeof kCPong];
  if (!SendAll(fd.Get(), kCPing, sizeof kCPing) || !RecvAll(fd.Get(), reply, sizeof reply)) return AjpProbe::kSilent;
  return memcmp(reply, kCPong, sizeof reply) == 0 ? AjpProbe::kAnswered : AjpProbe::kSilent;
}

std::vector<std::string> ServletContainerCommand(const std::string& jre) {
  std::string home = ServletInstallDir();
  std::string instance = ServletInstanceDir();
  return {
      jre + "/bin/java",
      "-Xmx128M",
      // What the container's own start script opens for its leak detection
      // on Java 17.
      "--add-opens=java.base/java.lang=ALL-UNNAMED",
      "--add-opens=java.base/java.io=ALL-UNNAMED",
      "--add-opens=java.base/java.util=ALL-UNNAMED",
      "--add-opens=java.base/java.util.concurrent=ALL-UNNAMED",
      "--add-opens=java.rmi/sun.rmi.transport=ALL-UNNAMED",
      "-Djava.io.tmpdir=" + instance + "/temp",
      ServletInstanceArgument(),
      "-Dcatalina.home=" + home,
      "-classpath",
      home + "/bin/bootstrap.jar:" + home + "/bin/tomcat-juli.jar",
      "org.apache.catalina.startup.Bootstrap",
      "start",
  };
}

ServletContainerSupervisor::ServletContainerSupervisor(const kel::Clock& clock, std::function<void()> dropConnector)
    : clock_(clock), dropConnector_(std::move(dropConnector)) {}

void ServletContainerSupervisor::Apply() {
  wanted_ = ServletContainerPrepared() && !ServletContainerHeldBack();
  // A new configuration starts a new count of failures.
  backoff_.emplace();
  if (pid_ > 0) {
    // It runs on the files of the read before: it must take up the new
    // secret. Started again once it has ended.
    if (phase_ != Phase::kEnding) {
      kill(pid_, SIGTERM);
      phase_ = Phase::kEnding;
      phaseSince_ = clock_.Now();
    }
    return;
  }
  phase_ = wanted_ ? Phase::kDown : Phase::kOff;
  nextStart_ = clock_.Now();
}

void ServletContainerSupervisor::Release() { HoldBackServletContainer(false); }

void ServletContainerSupervisor::Launch() {
  backoff_->Started();
  std::vector<std::string> command = ServletContainerCommand(PreparedJreHome());
  std::vector<char*> argv;
  for (std::string& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string instance = ServletInstanceDir();
  std::string logFile = instance + "/logs/catalina.out";
  uid_t uid = getuid();
  gid_t gid = getgid();
  bool dropRights = geteuid() == 0;
  if (dropRights && !LookupUser(kServiceAccount, &uid, &gid)) {
    Ended(std::string("the servlet container could not be started (no account ") + kServiceAccount + ")");
    return;
  }

  pid_t pid = fork();
  if (pid == 0) {
    // Only system calls from here on: the service has threads.
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dropRights && (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) _exit(126);
    if (chdir(instance.c_str()) != 0) _exit(126);
    int in = open("/dev/null", O_RDONLY);
    int out = open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW, 0640);
    if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(out, 2) < 0) _exit(126);
    // Nothing of the service's (its lock, its sockets) goes with it.
    syscall(SYS_close_range, 3U, ~0U, 0U);
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) {
    Ended(std::string("the servlet container could not be started (") + strerror(errno) + ")");
    return;
  }
  pid_ = pid;
  phase_ = Phase::kStarting;
  phaseSince_ = clock_.Now();
  nextProbe_ = phaseSince_ + kStartProbeInterval;
  strikes_ = 0;
}

void ServletContainerSupervisor::Ended(const std::string& what) {
  RestartBackoff::Decision d = backoff_->Ended();
  if (d.giveUp) {
    ServiceLog(2, "ServiceMain: %s; %d starts in a row have failed, the portal goes on without the servlet container.\n",
               what.c_str(), d.failures);
    phase_ = Phase::kOff;
    wanted_ = false;
    HoldBackServletContainer(true);
    dropConnector_();
    return;
  }
  ServiceLog(2, "ServiceMain: %s; it is started again in %d s.\n", what.c_str(), static_cast<int>(d.delay.count()));
  phase_ = Phase::kDown;
  nextStart_ = clock_.Now() + d.delay;
}

void ServletContainerSupervisor::Exited(int status, bool known) {
  pid_ = 0;
  if (phase_ == Phase::kEnding) {
    phase_ = wanted_ ? Phase::kDown : Phase::kOff;
    nextStart_ = clock_.Now();
    return;
  }
  bool started = phase_ == Phase::kServing;
  Ended(std::string(started ? "the servlet container exited unexpectedly ("
                                     : "the servlet container did not start (") +
                     ExitText(status, known) + ")");
}

void ServletContainerSupervisor::Reap() {
  int status = 0;
  bool known = false;
  if (pid_ > 0 && Collect(pid_, false, &status, &known)) Exited(status, known);
}

void ServletContainerSupervisor::Recover(const char* what) {
  kill(pid_, SIGKILL);
  int status;
  bool known;
  Collect(pid_, true, &status, &known);
  pid_ = 0;
  Ended(what);
}

void ServletContainerSupervisor::Run() {
  Reap();
  auto now = clock_.Now();
  switch (phase_) {
    case Phase::kOff:
      break;
    case Phase::kDown:
      if (now >= nextStart_) Launch();
      break;
    case Phase::kEnding:
      if (now - phaseSince_ >= kEndGrace) {
        kill(pid_, SIGKILL);
        phaseSince_ = now;  // its end is reaped as any other
      }
      break;
    case Phase::kStarting:
      if (now >= nextProbe_) {
        AjpProbe probe = ProbeServletContainer(kProbeTimeout);
        if (probe == AjpProbe::kAnswered) {
          phase_ = Phase::kServing;
          backoff_->Served();
          strikes_ = 0;
          nextProbe_ = clock_.Now() + kProbeInterval;
        } else if (clock_.Now() - phaseSince_ >= kStartLimit) {
          Recover("the servlet container did not begin to serve");
        } else {
          nextProbe_ = clock_.Now() + kStartProbeInterval;
        }
      }
      break;
    case Phase::kServing:
      if (now >= nextProbe_) {
        if (ProbeServletContainer(kProbeTimeout) == AjpProbe::kAnswered)
          strikes_ = 0;
        else if (++strikes_ >= kProbeStrikes)
          Recover("the servlet container stopped serving");
        nextProbe_ = clock_.Now() + kProbeInterval;
      }
      break;
  }
}

int ServletContainerSupervisor::MsUntilDue() const {
  auto now = clock_.Now();
  switch (phase_) {
    case Phase::kOff:
      return -1;
    case Phase::kDown:
      return MsUntil(nextStart_, now);
    case Phase::kEnding:
      // Its end comes as SIGCHLD; this is the time to stop waiting for it.
      return MsUntil(phaseSince_ + kEndGrace, now);
    case Phase::kStarting:
    case Phase::kServing:
      return MsUntil(nextProbe_, now);
  }
  return -1;
}

void ServletContainerSupervisor::Stop() {
  wanted_ = false;
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kEndGrace;
    int status;
    bool known;
    while (!Collect(pid_, false, &status, &known)) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(pid_, SIGKILL);
        Collect(pid_, true, &status, &known);
        break;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    pid_ = 0;
  }
  phase_ = Phase::kOff;
  TerminateStaleServletContainers();
}
