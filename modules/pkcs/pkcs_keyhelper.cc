#include "pkcs_keyhelper.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "kel_fd.h"
#include "kel_unixsock.h"

namespace {

constexpr char kSign = 'S';
constexpr char kMatch = 'M';
// A certificate or three subject fields fit many times over.
constexpr uint32_t kMaxMessage = 65536;
constexpr int kTimeoutSeconds = 10;

bool SendMessage(int fd, const std::string& body) {
  uint32_t length = htonl(static_cast<uint32_t>(body.size()));
  return SendAll(fd, &length, sizeof length) && SendAll(fd, body.data(), body.size());
}

bool RecvMessage(int fd, std::string* body) {
  uint32_t length = 0;
  if (!RecvAll(fd, &length, sizeof length)) return false;
  length = ntohl(length);
  if (length == 0 || length > kMaxMessage) return false;
  body->resize(length);
  return RecvAll(fd, body->data(), length);
}

// NUL-terminated fields after the question byte; false unless exactly count.
bool Fields(const std::string& body, size_t count, std::vector<std::string>* out) {
  size_t at = 1;
  while (at < body.size()) {
    size_t end = body.find('\0', at);
    if (end == std::string::npos) return false;
    out->push_back(body.substr(at, end - at));
    at = end + 1;
  }
  return out->size() == count;
}

std::string Reply(int code, const std::string& data = "") { return std::string(1, static_cast<char>(code)) + data; }

std::string AnswerSign(const std::string& body, const std::string& keyPath) {
  std::vector<std::string> f;
  if (!Fields(body, 3, &f) ||
      std::any_of(f.begin(), f.end(), [](const std::string& v) { return v.size() > kPkcsFieldMax; }))
    return Reply(kKeyMalformed);
  PkcsSubject subject{f[0], f[1], f[2]};
  EvpPkeyPtr key;
  RequestFailure read = ReadServerKey(keyPath, &key);
  if (read != RequestFailure::kNone) return Reply(static_cast<int>(read));
  std::string pem;
  RequestOutcome made = MakeSignedRequest(key.get(), subject, &pem);
  if (!made.ok()) {
    std::string log;
    for (const std::string& line : made.log) log += line;
    return Reply(static_cast<int>(made.failure), log);
  }
  return Reply(0, pem);
}

std::string AnswerMatch(const std::string& body, const std::string& keyPath) {
  const auto* der = reinterpret_cast<const unsigned char*>(body.data() + 1);
  X509Ptr cert(d2i_X509(nullptr, &der, static_cast<long>(body.size() - 1)));
  if (!cert) {
    ERR_clear_error();
    return Reply(kKeyMalformed);
  }
  EvpPkeyPtr key;
  RequestFailure read = ReadServerKey(keyPath, &key);
  if (read != RequestFailure::kNone) return Reply(static_cast<int>(read));
  int code = X509_check_private_key(cert.get(), key.get()) == 1 ? kKeyMatches : kKeyDiffers;
  ERR_clear_error();  // a mismatch is an answer, not an error
  return Reply(code);
}

void Answer(int fd, const std::string& keyPath) {
  std::string body;
  if (!RecvMessage(fd, &body)) return;
  std::string reply = body[0] == kSign    ? AnswerSign(body, keyPath)
                      : body[0] == kMatch ? AnswerMatch(body, keyPath)
                                          : Reply(kKeyMalformed);
  SendMessage(fd, reply);
}

KeyAnswer Ask(const std::string& socketPath, const std::string& question) {
  KeyAnswer a;
  kel::ScopedFd fd(ConnectUnixSocket(socketPath, kTimeoutSeconds));
  std::string reply;
  if (!fd || !SendMessage(fd.Get(), question) || !RecvMessage(fd.Get(), &reply)) {
    if (fd && errno == 0) errno = ECONNRESET;
    return a;
  }
  a.reached = true;
  a.code = static_cast<unsigned char>(reply[0]);
  (a.code == 0 ? a.data : a.log) = reply.substr(1);
  return a;
}

}  // namespace

void ServeKeyRequests(int listenFd, const std::string& keyPath) {
  for (;;) {
    kel::ScopedFd c(accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC));
    if (!c) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    timeval tv{kTimeoutSeconds, 0};
    setsockopt(c.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(c.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    try {
      Answer(c.Get(), keyPath);
    } catch (...) {
      // The worker sees the connection end and reports it.
    }
  }
}

KeyAnswer AskKeyHelperToSign(const std::string& socketPath, const PkcsSubject& subject) {
  std::string q(1, kSign);
  for (const std::string* f : {&subject.organization, &subject.unit, &subject.commonName}) q.append(*f).push_back('\0');
  return Ask(socketPath, q);
}

KeyAnswer AskKeyHelperToMatch(const std::string& socketPath, X509* cert) {
  unsigned char* der = nullptr;
  int n = i2d_X509(cert, &der);
  if (n <= 0) {
    KeyAnswer a;
    a.reached = true;
    a.code = kKeyMalformed;
    return a;
  }
  std::string q(1, kMatch);
  q.append(reinterpret_cast<const char*>(der), static_cast<size_t>(n));
  OPENSSL_free(der);
  return Ask(socketPath, q);
}
