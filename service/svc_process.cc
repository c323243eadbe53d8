#include "svc_process.h"

#include <dirent.h>
#include <signal.h>
#include <strings.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "kel_dirs.h"
#include "kel_svcctl.h"
#include "svc_servlet.h"

namespace {

constexpr auto kGracePeriod = std::chrono::seconds(5);

std::string ExePath(pid_t pid) {
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(pid));
  ssize_t n = readlink(link, target, sizeof target - 1);
  if (n <= 0) return "";
  return std::string(target, n);
}

// The processes of the host, other than this one, that match.
std::vector<pid_t> FindProcessesWhere(const std::function<bool(pid_t)>& match) {
  std::vector<pid_t> found;
  DIR* proc = opendir("/proc");
  if (!proc) return found;
  while (struct dirent* d = readdir(proc)) {
    char* end = nullptr;
    long pid = strtol(d->d_name, &end, 10);
    if (*end || pid <= 0 || pid == getpid()) continue;
    if (match(static_cast<pid_t>(pid))) found.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return found;
}

// Processes whose executable is <base>/bin/<name> (without regard to case).
std::vector<pid_t> FindProcesses(const std::string& name) {
  std::string prefix = BaseDirPath() + "/bin/" + name;
  return FindProcessesWhere([&](pid_t pid) {
    std::string exe = ExePath(pid);
    size_t slash = exe.rfind('/');
    if (slash == std::string::npos) return false;
    std::string base = exe.substr(slash + 1);
    if (base.size() > 10 && base.compare(base.size() - 10, 10, " (deleted)") == 0) base.resize(base.size() - 10);
    return strcasecmp(base.c_str(), name.c_str()) == 0 && exe.size() >= prefix.size() &&
           strncasecmp(exe.c_str(), prefix.c_str(), prefix.size()) == 0;
  });
}

// Processes that were given arg as one of their command-line arguments.
std::vector<pid_t> FindProcessesWithArgument(const std::string& arg) {
  return FindProcessesWhere([&](pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string word;
    while (std::getline(in, word, '\0'))
      if (word == arg) return true;
    return false;
  });
}

bool Alive(pid_t pid) {
  // Our own children become zombies: reap them so they count as gone.
  waitpid(pid, nullptr, WNOHANG);
  return kill(pid, 0) == 0 && !ExePath(pid).empty();
}

void Terminate(const std::vector<pid_t>& pids) {
  for (pid_t p : pids) kill(p, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + kGracePeriod;
  for (pid_t p : pids) {
    while (Alive(p) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (Alive(p)) kill(p, SIGKILL);
  }
}

}  // namespace

std::string OwnDirectory() {
  std::string exe = ExePath(getpid());
  size_t slash = exe.rfind('/');
  return slash == std::string::npos ? "./" : exe.substr(0, slash + 1);
}

std::string WebServerPidPath() { return ServiceRunDir() + "/httpd.pid"; }

pid_t ReadWebServerPid() {
  std::ifstream in(WebServerPidPath());
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return 0;
  return static_cast<pid_t>(pid);
}

int StartWebServer(pid_t* server) {
  std::string program = OwnDirectory() + "qxkeld";
  std::string config = "-f" + BaseDirPath() + "/conf/kelpd.conf";
  pid_t pid = fork();
  if (pid < 0) return 1;
  if (pid == 0) {
    // A session of its own: a terminal's signals reach the service, which
    // decides, not the web server directly.
    setsid();
    // The service blocks its signals for signalfd; the web server must not
    // inherit that, or it could not be stopped.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // In the foreground the web server stays the service's own child: its
    // pid is known, never read from a file that another account could write.
    execl(program.c_str(), program.c_str(), config.c_str(), "-DFOREGROUND", static_cast<char*>(nullptr));
    _exit(127);
  }
  *server = pid;
  return 0;
}

int SignalWebServer(pid_t server, WebServerSignal kind) {
  if (server <= 0) return 1;
  return kill(server, kind == WebServerSignal::kShutdown ? SIGTERM : SIGUSR1) == 0 ? 0 : 1;
}

void TerminateStaleProcesses() {
  Terminate(FindProcesses("qxkeld"));
  Terminate(FindProcesses("rotatelogs"));
}

std::string ServletInstanceArgument() { return "-Dcatalina.base=" + ServletInstanceDir(); }

void TerminateStaleServletContainers() { Terminate(FindProcessesWithArgument(ServletInstanceArgument())); }
