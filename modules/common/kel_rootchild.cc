#include "kel_rootchild.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "ap_mpm.h"
#include "apr_strings.h"
#include "apr_thread_proc.h"
#include "http_log.h"
#include "kel_config.h"
#include "kel_unixsock.h"

namespace {

struct RootChild {
  KelRootHelper helper;
  apr_proc_t proc;
  pid_t parent;
  server_rec* server;
  apr_pool_t* pool;
};

void Maintenance(int reason, void* data, apr_wait_t status);

[[noreturn]] void Run(const KelRootHelper& helper, int fd) {
  // The web server's handlers go before any signal may arrive (they stay
  // blocked from before the fork until here).
  for (int sig : {SIGTERM, SIGHUP, SIGUSR1, SIGINT, SIGPIPE}) signal(sig, sig == SIGPIPE ? SIG_IGN : SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  prctl(PR_SET_NAME, helper.processName);
  // A helper with root rights never outlives the web server.
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  // Nothing of the web server's that another process could notice: no
  // listeners, no log pipes. Files stay where they are: the libraries' own
  // (an NSS module's open databases among them) would not work without them.
  for (int i = 3; i < 1024; ++i) {
    struct stat st;
    if (i != fd && fstat(i, &st) == 0 && (S_ISSOCK(st.st_mode) || S_ISFIFO(st.st_mode))) close(i);
  }
  try {
    helper.serve(fd, helper.arg);
  } catch (...) {
  }
  _exit(0);
}

bool Spawn(RootChild* h) {
  const KelRootHelper& helper = h->helper;
  int fd = ListenUnixSocket(helper.socketPath, 0660, 64);
  if (fd < 0) {
    int err = errno;
    ap_log_error_(__FILE__, __LINE__, helper.moduleIndex, APLOG_ERR, err, h->server, "%s: %s's socket %s cannot be made",
                  helper.logPrefix, helper.what, helper.socketPath);
    LogOutput(2, "%s: %s's socket %s cannot be made (%s); %s.", helper.logPrefix, helper.what, helper.socketPath,
              strerror(err), helper.consequence);
    return false;
  }
  pid_t parent = getpid();
  // Signals stay blocked from the fork until the child has dropped the
  // parent's handlers: a SIGTERM that reached it earlier ran the web
  // server's own handler, the helper lived on, and the next restart waited
  // for it for ever with no workers.
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  pid_t pid = fork();
  if (pid == 0) {
    if (getppid() != parent) _exit(0);
    Run(helper, fd);
  }
  int err = errno;
  sigprocmask(SIG_SETMASK, &old, nullptr);
  close(fd);
  if (pid < 0) {
    LogOutput(2, "%s: %s cannot be started (%s); %s.", helper.logPrefix, helper.what, strerror(err), helper.consequence);
    return false;
  }
  h->proc.pid = pid;
  h->parent = parent;
  apr_proc_other_child_register(&h->proc, Maintenance, h, nullptr, h->pool);
  return true;
}

// Bounded: a helper that ignores SIGTERM must not hold the parent's
// restart (and with it every worker) in waitpid for ever.
constexpr auto kStopGrace = std::chrono::seconds(3);

void Stop(RootChild* h) {
  if (h->proc.pid > 0 && getpid() == h->parent) {
    kill(h->proc.pid, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kStopGrace;
    pid_t done;
    while ((done = waitpid(h->proc.pid, nullptr, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
      usleep(10000);
    if (done == 0) {
      kill(h->proc.pid, SIGKILL);
      waitpid(h->proc.pid, nullptr, 0);
    }
  }
  h->proc.pid = 0;
}

void Maintenance(int reason, void* data, apr_wait_t status) {
  auto* h = static_cast<RootChild*>(data);
  const KelRootHelper& helper = h->helper;
  try {
    switch (reason) {
      case APR_OC_REASON_DEATH:
      case APR_OC_REASON_LOST: {
        pid_t old = h->proc.pid;
        h->proc.pid = 0;  // reaped: its pid may belong to another process now
        apr_proc_other_child_unregister(h);
        int state;
        if (ap_mpm_query(AP_MPMQ_MPM_STATE, &state) == APR_SUCCESS && state == AP_MPMQ_STOPPING) break;
        const char* how = WIFSIGNALED(status) ? apr_psprintf(h->pool, "signal %d", WTERMSIG(status))
                                              : apr_psprintf(h->pool, "exit code %d", WEXITSTATUS(status));
        bool started = Spawn(h);
        const char* outcome = started ? "a new one was started" : "no new one could be started";
        ap_log_error_(__FILE__, __LINE__, helper.moduleIndex, APLOG_WARNING, 0, h->server,
                      "%s: %s (pid %d) ended (%s); %s", helper.logPrefix, helper.what, static_cast<int>(old), how, outcome);
        LogOutput(2, "%s: %s (pid %d) ended (%s); %s (pid %d).", helper.logPrefix, helper.what, static_cast<int>(old), how,
                  outcome, static_cast<int>(h->proc.pid));
        break;
      }
      case APR_OC_REASON_RESTART:
        apr_proc_other_child_unregister(h);
        break;
      case APR_OC_REASON_UNREGISTER:
        Stop(h);
        break;
      default:
        break;
    }
  } catch (...) {
    ap_log_error_(__FILE__, __LINE__, helper.moduleIndex, APLOG_ERR, 0, h->server, "%s: looking after %s failed",
                  helper.logPrefix, helper.what);
  }
}

}  // namespace

bool KelStartRootChild(apr_pool_t* pconf, server_rec* s, const KelRootHelper& helper) {
  auto* h = static_cast<RootChild*>(apr_pcalloc(pconf, sizeof(RootChild)));
  h->helper = helper;
  h->helper.socketPath = apr_pstrdup(pconf, helper.socketPath);
  h->server = s;
  h->pool = pconf;
  return Spawn(h);
}
