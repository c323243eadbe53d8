#include "aa_authhelper.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "aa_pam.h"
#include "kel_unixsock.h"

namespace {

constexpr uint32_t kMaxRequest = 8192;
constexpr size_t kMaxField = 2048;
// Attempts of one address wait for each other, so an answer may take a
// while; the worker gives up after this.
constexpr int kReplyTimeoutSeconds = 60;
constexpr int kFieldCount = 7;

void Wipe(std::string& s) { std::fill(s.begin(), s.end(), '\0'); }

}  // namespace

// Flags: "D" allow-default-os-admin, "R" refuse an administrator level,
// "X" refused by the address rules.
std::string EncodeLoginRequest(const LoginRequest& q) {
  std::string flags;
  if (q.levels.allowDefaultOsAdmin) flags += 'D';
  if (q.refuseAdministrator) flags += 'R';
  if (q.addressRefused) flags += 'X';
  const std::string* fields[kFieldCount] = {&q.address,           &q.user,
                                            &q.password,          &q.levels.adminGroups,
                                            &q.levels.operatorGroups, &q.levels.userGroups,
                                            &flags};
  std::string body;
  for (const std::string* field : fields) body.append(*field).push_back('\0');
  return body;
}

bool DecodeLoginRequest(const std::vector<char>& body, LoginRequest* q) {
  std::string* fields[kFieldCount - 1] = {&q->address, &q->user, &q->password, &q->levels.adminGroups,
                                          &q->levels.operatorGroups, &q->levels.userGroups};
  std::string flags;
  size_t at = 0;
  for (int i = 0; i < kFieldCount; ++i) {
    auto end = std::find(body.begin() + at, body.end(), '\0');
    if (end == body.end()) return false;
    std::string value(body.begin() + at, end);
    if (value.size() > kMaxField) return false;
    (i < kFieldCount - 1 ? *fields[i] : flags) = std::move(value);
    at = static_cast<size_t>(end - body.begin()) + 1;
  }
  if (at != body.size()) return false;
  q->levels.allowDefaultOsAdmin = flags.find('D') != std::string::npos;
  q->refuseAdministrator = flags.find('R') != std::string::npos;
  q->addressRefused = flags.find('X') != std::string::npos;
  return true;
}

namespace {

LoginAnswer Decide(const LoginRequest& q, const char* pamService, LoginGate& gate) {
  LoginAnswer a;
  a.reached = true;
  a.reason = LoginRefusal::kAddress;
  auto check = [&]() {
    if (PamAuthenticate(pamService, q.user.c_str(), q.password.c_str()) != 1) {
      a.reason = LoginRefusal::kPassword;
      return kLevelNone;
    }
    // Only after the password: a level says whether the account exists.
    int level = AccessLevel(q.user.c_str(), q.levels);
    a.reason = level == kLevelNone ? LoginRefusal::kNoLevel
               : level == kLevelAdministrator && q.refuseAdministrator ? LoginRefusal::kAdministrator
                                                                       : LoginRefusal::kNone;
    return a.reason == LoginRefusal::kNone ? level : kLevelNone;
  };
  LoginGate::Outcome o = gate.Attempt(q.address, !q.addressRefused, check);
  a.level = o.level;
  if (o.refusedAtOnce) a.reason = LoginRefusal::kBusy;
  if (a.level == kLevelNone && a.reason == LoginRefusal::kNone) a.reason = LoginRefusal::kPassword;
  return a;
}

void Answer(int fd, const char* pamService, LoginGate* gate) {
  timeval tv{kReplyTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  LoginAnswer a;
  uint32_t length = 0;
  if (RecvAll(fd, &length, sizeof length) && (length = ntohl(length)) > 0 && length <= kMaxRequest) {
    std::vector<char> body(length);
    LoginRequest q;
    if (RecvAll(fd, body.data(), length) && DecodeLoginRequest(body, &q)) {
      try {
        a = Decide(q, pamService, *gate);
      } catch (...) {
        a = LoginAnswer{};  // refused; the gate has answered in time already
      }
    }
    std::fill(body.begin(), body.end(), '\0');
    Wipe(q.password);
  }
  char reply[2] = {static_cast<char>('0' + a.level), static_cast<char>(a.reason)};
  SendAll(fd, reply, sizeof reply);
  close(fd);
}

}  // namespace

const char* LoginRefusalText(LoginRefusal reason) {
  switch (reason) {
    case LoginRefusal::kNone: return "accepted";
    case LoginRefusal::kPassword: return "the account or its password was not accepted";
    case LoginRefusal::kNoLevel: return "the account has no portal level";
    case LoginRefusal::kAdministrator: return "administrators may not log in by program";
    case LoginRefusal::kAddress: return "the client address may not log in";
    case LoginRefusal::kBusy: return "too many attempts from the address are waiting";
    case LoginRefusal::kMalformed: break;
  }
  return "the request was not understood";
}

void ServeAuthRequests(int listenFd, const char* pamService, LoginGate& gate) {
  for (;;) {
    int c = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    try {
      std::thread(Answer, c, pamService, &gate).detach();
    } catch (...) {
      close(c);  // no thread to be had: the worker sees a refusal
    }
  }
}

LoginAnswer AskAuthHelper(const std::string& socketPath, const LoginRequest& request) {
  LoginAnswer a;
  std::string body = EncodeLoginRequest(request);
  if (body.size() > kMaxRequest) {
    Wipe(body);
    a.reached = true;
    return a;
  }
  int fd = ConnectUnixSocket(socketPath, kReplyTimeoutSeconds);
  uint32_t length = htonl(static_cast<uint32_t>(body.size()));
  char reply[2] = {0, 0};
  if (fd >= 0 && SendAll(fd, &length, sizeof length) && SendAll(fd, body.data(), body.size()) &&
      RecvAll(fd, reply, sizeof reply)) {
    a.reached = true;
    if (reply[0] >= '0' + kLevelNone && reply[0] <= '0' + kLevelAdministrator) a.level = reply[0] - '0';
    a.reason = static_cast<LoginRefusal>(reply[1]);
    if (a.level != kLevelNone) a.reason = LoginRefusal::kNone;
  }
  int err = errno;
  Wipe(body);
  if (fd >= 0) close(fd);
  errno = err;
  return a;
}
