#include "aa_authhelper.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "aa_pam.h"
#include "kel_unixsock.h"

namespace {

constexpr uint32_t kMaxRequest = 4096;
constexpr int kReplyTimeoutSeconds = 30;
constexpr std::chrono::milliseconds kFirstDelay{250};
constexpr std::chrono::milliseconds kMaxDelay{4000};
// Addresses are forgotten beyond this many, so a flood cannot grow the map.
constexpr size_t kMaxTracked = 4096;

bool ReadAll(int fd, void* buf, size_t size) {
  auto* p = static_cast<char*>(buf);
  while (size > 0) {
    ssize_t n = recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* buf, size_t size) {
  auto* p = static_cast<const char*>(buf);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

FailureThrottle g_throttle;

void Answer(int fd, const char* pamService) {
  timeval tv{kReplyTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  uint32_t length = 0;
  char reply = '0';
  if (ReadAll(fd, &length, sizeof length) && (length = ntohl(length)) > 0 && length <= kMaxRequest) {
    std::vector<char> body(length + 1, '\0');
    if (ReadAll(fd, body.data(), length)) {
      // "address\0user\0password\0"
      const char* address = body.data();
      const char* user = address + strlen(address) + 1;
      const char* password = user < body.data() + length ? user + strlen(user) + 1 : nullptr;
      if (password && password < body.data() + length + 1) {
        bool ok = PamAuthenticate(pamService, user, password) == 1;
        if (ok) {
          g_throttle.Succeeded(address);
          reply = '1';
        } else {
          std::this_thread::sleep_for(g_throttle.Failed(address));
        }
      }
      std::fill(body.begin(), body.end(), '\0');
    }
  }
  WriteAll(fd, &reply, 1);
  close(fd);
}

}  // namespace

std::chrono::milliseconds FailureThrottle::Failed(const std::string& address) {
  std::lock_guard<std::mutex> hold(lock_);
  if (failures_.size() >= kMaxTracked && !failures_.count(address)) failures_.clear();
  int n = ++failures_[address];
  auto delay = kFirstDelay * (1 << std::min(n - 1, 8));
  return std::min(delay, kMaxDelay);
}

void FailureThrottle::Succeeded(const std::string& address) {
  std::lock_guard<std::mutex> hold(lock_);
  failures_.erase(address);
}

void ServeAuthRequests(int listenFd, const char* pamService) {
  for (;;) {
    int c = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    std::thread(Answer, c, pamService).detach();
  }
}

int AskAuthHelper(const std::string& socketPath, const char* clientAddress, const char* user, const char* password) {
  if (!user || !password || !*user) return 0;
  const char* address = clientAddress ? clientAddress : "";
  std::string body;
  body.append(address).push_back('\0');
  body.append(user).push_back('\0');
  body.append(password).push_back('\0');
  if (body.size() > kMaxRequest) return 0;

  int fd = ConnectUnixSocket(socketPath, kReplyTimeoutSeconds);
  int result = 0;
  uint32_t length = htonl(static_cast<uint32_t>(body.size()));
  char reply = '0';
  if (fd >= 0 && WriteAll(fd, &length, sizeof length) && WriteAll(fd, body.data(), body.size()) &&
      ReadAll(fd, &reply, 1))
    result = reply == '1' ? 1 : 0;
  std::fill(body.begin(), body.end(), '\0');
  if (fd >= 0) close(fd);
  return result;
}
