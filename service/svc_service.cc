#include "svc_service.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "kel_files.h"
#include "kel_host.h"
#include "kel_svcctl.h"
#include "kel_unixsock.h"
#include "svc_cert.h"
#include "svc_config.h"
#include "svc_events.h"
#include "svc_log.h"
#include "svc_network.h"
#include "svc_process.h"
#include "svc_settings.h"

namespace {

using Clock = std::chrono::steady_clock;

// A start whose web server exits sooner than this has failed.
constexpr auto kStableRun = std::chrono::seconds(60);
constexpr int kMaxFailedStarts = 5;
constexpr int kMaxDelaySeconds = 60;
constexpr auto kPidFileWait = std::chrono::seconds(10);
constexpr int kExitPreparation = 112;

std::atomic<int> g_state{kStateStopped};
// Lets a control wait for the state it asked for: like a Windows service
// control, the call returns once the service's handler has done its work.
std::mutex g_stateLock;
std::condition_variable g_stateChanged;
constexpr auto kControlWait = std::chrono::seconds(30);
std::atomic<bool> g_stopRequested{false};
std::atomic<bool> g_restartRequested{false};
int g_wakeFd = -1;

void Wake() {
  uint64_t one = 1;
  if (write(g_wakeFd, &one, sizeof one) < 0) {
  }
}

// ReportServiceStatus: the state the control socket answers, and systemd's
// view of it when the service runs under systemd.
void SetState(int state) {
  int old;
  {
    std::lock_guard<std::mutex> hold(g_stateLock);
    old = g_state.exchange(state);
  }
  g_stateChanged.notify_all();
  if (state == kStateRunning && old != kStateRunning)
    sd_notify(0, "READY=1\nSTATUS=running");
  else if (state == kStateStartPending && old == kStateRunning)
    sd_notify(0, "RELOADING=1\nSTATUS=restarting the web server");
  else if (state == kStateStopPending)
    sd_notify(0, "STOPPING=1");
}

void RequestRestart() {
  g_restartRequested = true;
  Wake();
}

void RequestStop() {
  g_stopRequested = true;
  Wake();
}

// The control socket, answered on a thread of its own so that status
// queries are served while the main loop restarts the web server.
class ControlServer {
 public:
  bool Open() {
    path_ = ServiceSocketPath();
    // The web server's workers (group qxkel) ask for restarts here.
    fd_ = ListenUnixSocket(path_, 0660, 16);
    if (fd_ < 0) return false;
    stop_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Serve(); });
    return true;
  }

  void Close() {
    if (stop_ >= 0) {
      uint64_t one = 1;
      if (write(stop_, &one, sizeof one) < 0) {
      }
      if (thread_.joinable()) thread_.join();
      std::unique_lock<std::mutex> hold(clientsLock_);
      clientsDone_.wait_for(hold, kControlWait, [this] { return clients_ == 0; });
      close(stop_);
      stop_ = -1;
    }
    if (fd_ >= 0) {
      close(fd_);
      unlink(path_.c_str());
      fd_ = -1;
    }
  }

 private:
  void Serve() {
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents) return;
      int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      // A restart keeps its caller waiting; status queries go on meanwhile.
      {
        std::lock_guard<std::mutex> hold(clientsLock_);
        ++clients_;
      }
      std::thread([this, c] {
        Handle(c);
        std::lock_guard<std::mutex> hold(clientsLock_);
        --clients_;
        clientsDone_.notify_all();
      }).detach();
    }
  }

  void Handle(int c) {
    timeval tv{5, 0};
    setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[64];
    std::string line;
    while (line.find('\n') == std::string::npos && line.size() < sizeof buf) {
      ssize_t n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      line.append(buf, n);
    }
    std::string reply = Answer(line.substr(0, line.find('\n')));
    send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
    close(c);
  }

  // ServiceControlHandler. No control is accepted while start-pending.
  std::string Answer(const std::string& request) {
    int control = 0;
    if (request == "STATUS") return State();
    if (sscanf(request.c_str(), "CONTROL %d", &control) != 1) return "REFUSED\n";
    if (g_state == kStateStartPending || g_state == kStateStopped) return "REFUSED\n";
    switch (control) {
      case kControlStop:
        SetState(kStateStopPending);
        RequestStop();
        break;
      case kControlRestart: {
        if (g_state == kStateStopPending) return "REFUSED\n";
        SetState(kStateStartPending);
        RequestRestart();
        std::unique_lock<std::mutex> hold(g_stateLock);
        g_stateChanged.wait_for(hold, kControlWait, [] { return g_state != kStateStartPending; });
        break;
      }
      default:  // 5 (shutdown) and every other control: nothing
        break;
    }
    return State();
  }

  static std::string State() { return "STATE " + std::to_string(g_state.load()) + "\n"; }

  std::string path_;
  int fd_ = -1;
  int stop_ = -1;
  std::thread thread_;
  std::mutex clientsLock_;
  std::condition_variable clientsDone_;
  int clients_ = 0;
};

// The single instance: a lock held for the life of the service.
int g_lockFd = -1;

void Message(const char* text) { ServiceMessageBox("KelSvc", text); }

// The web server as the service sees it.
struct Supervision {
  pid_t launcher = 0;  // the process started; it exits once the server detached
  pid_t server = 0;    // the web server's parent process
  Clock::time_point startedAt;
  bool expectExit = false;
  int failures = 0;
  std::optional<Clock::time_point> nextStart;
};
Supervision g_web;

void RemoveStalePidFile() {
  pid_t pid = ReadWebServerPid();
  if (pid > 0 && kill(pid, 0) == 0) return;
  unlink(WebServerPidPath().c_str());
}

int Launch() {
  RemoveStalePidFile();
  g_web.expectExit = false;
  g_web.server = 0;
  g_web.startedAt = Clock::now();
  return StartWebServer(&g_web.launcher);
}

pid_t ParentOf(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* f = fopen(path, "r");
  if (!f) return 0;
  char buf[512];
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  fclose(f);
  buf[n] = '\0';
  const char* close = strrchr(buf, ')');
  int ppid = 0;
  if (!close || sscanf(close + 1, " %*c %d", &ppid) != 1) return 0;
  return ppid;
}

// After the launcher's exit: the detached web server, now our child.
pid_t FindServer() {
  auto deadline = Clock::now() + kPidFileWait;
  while (Clock::now() < deadline) {
    pid_t pid = ReadWebServerPid();
    if (pid > 0 && ParentOf(pid) == getpid()) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

// A start failed or the web server ended on its own: start it again later,
// each time later, and give up after too many failures in a row.
// Returns false when the service must stop.
bool ScheduleRestart(bool startFailed, const char* what) {
  if (startFailed)
    ++g_web.failures;
  else
    g_web.failures = 0;
  if (g_web.failures >= kMaxFailedStarts) {
    ServiceLog(2, "ServiceMain: %s; %d starts in a row have failed, the service stops.\n", what, g_web.failures);
    return false;
  }
  int delay = g_web.failures == 0 ? 1 : std::min(kMaxDelaySeconds, 1 << (g_web.failures - 1));
  ServiceLog(2, "ServiceMain: %s; it is started again in %d s.\n", what, delay);
  g_web.nextStart = Clock::now() + std::chrono::seconds(delay);
  return true;
}

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

// Reaps children; false when the service must stop.
bool ReapChildren() {
  int status;
  pid_t pid;
  while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
    if (pid == g_web.launcher) {
      g_web.launcher = 0;
      if (WIFEXITED(status) && WEXITSTATUS(status) == 0) g_web.server = FindServer();
      if (g_web.server == 0 && !g_web.expectExit) {
        std::string what = "the web server did not start (" + ExitText(status) + ")";
        if (!ScheduleRestart(true, what.c_str())) return false;
      }
    } else if (pid == g_web.server) {
      g_web.server = 0;
      if (g_web.expectExit) continue;
      bool failed = Clock::now() - g_web.startedAt < kStableRun;
      std::string what = "the web server exited unexpectedly (" + ExitText(status) + ")";
      if (!ScheduleRestart(failed, what.c_str())) return false;
    }
    // Anything else is an orphan of the web server's that came to us.
  }
  return true;
}

bool StartSignals(sigset_t* set, int* fd) {
  sigemptyset(set);
  for (int s : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(set, s);
  if (sigprocmask(SIG_BLOCK, set, nullptr) != 0) return false;
  *fd = signalfd(-1, set, SFD_CLOEXEC | SFD_NONBLOCK);
  return *fd >= 0;
}

int LoadSettingsAndMap() {
  if (LoadSettings() != 0) {
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

// Makes the run directory for the lock and the socket.
void MakeRunDirectory() {
  std::string dir = ServiceRunDir();
  if (MakeDir(dir.c_str()) == 0 || access(dir.c_str(), F_OK) == 0) ProtectFile(dir.c_str());
}

}  // namespace

bool AcquireInstanceLock(bool* alreadyRunning) {
  MakeRunDirectory();
  g_lockFd = open(ServiceLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
  if (g_lockFd < 0) {
    *alreadyRunning = true;  // a lock that cannot be made counts as taken
    return false;
  }
  if (flock(g_lockFd, LOCK_EX | LOCK_NB) != 0) {
    *alreadyRunning = true;
    close(g_lockFd);
    g_lockFd = -1;
    return false;
  }
  *alreadyRunning = false;
  return true;
}

int PrepareWebServer() {
  StartWinsock();
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  CreateSessionDirectories();
  ProtectWritableDirectories();
  return CheckServerCertificate() == 1 ? 0 : 1;
}

bool RestartWebServer() {
  if (CheckServerCertificate() == 1 && LoadSettings() == 0 && ResetLegacyMapFile() == 0) {
    ScanPhpExtensions();
    WritePhpIni();
    SignalWebServer(WebServerSignal::kRestart);
    return true;
  }
  ReportServiceEvent(kEventStartFailed, LoadText(167), EventType::kError);
  return false;
}

void StopService() {
  SignalWebServer(WebServerSignal::kShutdown);
  int state = 0;
  ServiceCall r = ServiceSendControl(kControlStop, &state);
  if (r == ServiceCall::kNoManager) {
    ReportSystemError(kEventStopFailed, errno, EventType::kError);
  } else if (r == ServiceCall::kNoService) {
    ReportServiceEvent(kEventStopFailed, LoadText(108), EventType::kError);
  } else if (r == ServiceCall::kOk) {
    ServicePoll poll = ServicePollSettings();
    usleep(static_cast<useconds_t>(poll.intervalMs) * 1000);
    // A service that is gone has stopped: its socket goes with it.
    for (int i = 0; i < poll.count && state != kStateStopped; ++i) {
      if (ServiceQueryStatus(&state) != ServiceCall::kOk) {
        state = kStateStopped;
        break;
      }
      if (state == kStateStopPending) usleep(static_cast<useconds_t>(poll.intervalMs) * 1000);
    }
    if (state != kStateStopped) ReportSystemError(kEventStopFailed, ETIMEDOUT, EventType::kError);
  }
  TerminateStaleProcesses();
}

int RunService(bool debug) {
  g_debugMode = debug;
  // The web server detaches from us; as a subreaper we stay its parent and
  // learn when it ends.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  g_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  sigset_t signals;
  int sigFd = -1;
  ControlServer control;

  auto stopWithError = [&](int textId, int exitCode) {
    if (textId) ReportServiceEvent(kEventStartFailed, LoadText(textId), EventType::kError);
    if (debug) Message(LoadText(106));
    SetState(kStateStopped);
    control.Close();
    return exitCode ? exitCode : 1;
  };

  if (g_wakeFd < 0 || !StartSignals(&signals, &sigFd) || !control.Open()) return stopWithError(109, errno);
  SetState(kStateStartPending);

  if (PrepareWebServer() != 0) return stopWithError(104, kExitPreparation);
  if (debug) Message("Successfully finished SSLServerInit()");
  if (LoadSettingsAndMap() != 0) return stopWithError(104, kExitPreparation);
  if (debug) Message("Successfully Parsed XML and Generated CONF file");
  ScanPhpExtensions();
  WritePhpIni();
  if (g_serviceSettings.lockLegacyPort) ClaimLegacyPort();
  if (g_serviceSettings.monitorAddressChanges) WatchAddressChanges([] {
      if (g_state == kStateRunning) {
        SetState(kStateStartPending);
        RequestRestart();
      }
    });
  if (Launch() != 0) {
    StopAddressWatch();
    return stopWithError(104, errno);
  }
  SetState(kStateRunning);
  ReportServiceEvent(kEventStarted, "", EventType::kInformation);
  if (debug) fprintf(stderr, "%s\n", LoadText(105));

  bool watchStdin = debug;
  bool failed = false;
  while (!g_stopRequested) {
    int timeout = -1;
    if (g_web.nextStart) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*g_web.nextStart - Clock::now()).count();
      timeout = static_cast<int>(std::max<long long>(0, left));
    }
    pollfd fds[3] = {{sigFd, POLLIN, 0}, {g_wakeFd, POLLIN, 0}, {watchStdin ? 0 : -1, POLLIN, 0}};
    if (poll(fds, 3, timeout) < 0 && errno != EINTR) break;

    if (fds[0].revents) {
      signalfd_siginfo info;
      while (read(sigFd, &info, sizeof info) == sizeof info) {
        if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) g_stopRequested = true;
        if (info.ssi_signo == SIGHUP && g_state == kStateRunning) {
          SetState(kStateStartPending);
          g_restartRequested = true;
        }
      }
      if (!ReapChildren()) {
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
        g_stopRequested = true;
    }
    if (fds[1].revents) {
      uint64_t v;
      if (read(g_wakeFd, &v, sizeof v) < 0) {
      }
    }
    if (g_stopRequested) break;
    if (g_restartRequested.exchange(false)) {
      if (!RestartWebServer()) {
        // A failed restart stops the service.
        SetState(kStateStopPending);
        break;
      }
      SetState(kStateRunning);
    }
    if (g_web.nextStart && Clock::now() >= *g_web.nextStart) {
      g_web.nextStart.reset();
      // What the dead server left (its workers may still hold the ports).
      TerminateStaleProcesses();
      if (Launch() != 0 && !ScheduleRestart(true, "the web server could not be started")) {
        failed = true;
        break;
      }
    }
  }

  if (g_state != kStateStopPending) SetState(kStateStopPending);
  StopAddressWatch();
  g_web.expectExit = true;
  SignalWebServer(WebServerSignal::kShutdown);
  TerminateStaleProcesses();
  ReapChildren();
  // The web server would not stay up.
  if (failed) return stopWithError(104, ECHILD);
  ReportServiceEvent(kEventStopped, "", EventType::kInformation);
  SetState(kStateStopped);
  control.Close();
  return 0;
}
