#include "kel_svcctl.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kel_dirs.h"
#include "kel_fd.h"
#include "kel_unixsock.h"

namespace {

constexpr int kReplyTimeoutSeconds = 10;

// One request and its one-line answer.
ServiceCall Exchange(const std::string& request, std::string* reply) {
  std::string dir = ServiceRunDir();
  if (access(dir.c_str(), X_OK) != 0) return ServiceCall::kNoManager;
  kel::ScopedFd fd(ConnectUnixSocket(ServiceSocketPath(), kReplyTimeoutSeconds));
  if (!fd) return errno == ECONNREFUSED ? ServiceCall::kSendFailed : ServiceCall::kNoService;
  ServiceCall result = ServiceCall::kOk;
  if (send(fd.Get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    result = ServiceCall::kSendFailed;
  } else {
    char buf[64];
    std::string line;
    while (line.find('\n') == std::string::npos && line.size() < sizeof buf) {
      ssize_t n = recv(fd.Get(), buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      line.append(buf, n);
    }
    if (line.find('\n') == std::string::npos)
      result = ServiceCall::kQueryFailed;
    else
      *reply = line.substr(0, line.find('\n'));
  }
  return result;
}

bool ParseState(const std::string& reply, int* state) {
  int s = 0;
  if (sscanf(reply.c_str(), "STATE %d", &s) != 1) return false;
  *state = s;
  return true;
}

}  // namespace

std::string ServiceRunDir() { return KelSharedPath(KelShared::kRunDir); }
std::string ServiceSocketPath() { return ServiceRunDir() + "/kelsvc.sock"; }
std::string ServiceLockPath() { return ServiceRunDir() + "/kelsvc.lock"; }

ServiceCall ServiceSendControl(int control, int* state) {
  std::string reply;
  ServiceCall r = Exchange("CONTROL " + std::to_string(control) + "\n", &reply);
  if (r == ServiceCall::kQueryFailed) return ServiceCall::kSendFailed;
  if (r != ServiceCall::kOk) return r;
  return ParseState(reply, state) ? ServiceCall::kOk : ServiceCall::kSendFailed;
}

ServiceCall ServiceQueryStatus(int* state) {
  std::string reply;
  ServiceCall r = Exchange("STATUS\n", &reply);
  if (r != ServiceCall::kOk) return ServiceCall::kQueryFailed;
  return ParseState(reply, state) ? ServiceCall::kOk : ServiceCall::kQueryFailed;
}

ServicePoll ServicePollSettings() {
  ServicePoll p{1000, 60};
  if (const char* test = getenv("KELSVC_TEST_POLL")) {
    int ms = 0, count = 0;
    if (sscanf(test, "%d,%d", &ms, &count) == 2 && ms > 0 && count > 0) p = {ms, count};
  }
  return p;
}

int RequestServiceRestart() {
  int state = 0;
  if (ServiceSendControl(kControlRestart, &state) != ServiceCall::kOk) return 0;
  ServicePoll poll = ServicePollSettings();
  for (int waits = 0; state == kStateStartPending && waits < poll.count; ++waits) {
    usleep(static_cast<useconds_t>(poll.intervalMs) * 1000);
    if (ServiceQueryStatus(&state) != ServiceCall::kOk) return 0;
  }
  return state == kStateRunning ? 1 : 0;
}
