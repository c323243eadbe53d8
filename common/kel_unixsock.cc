#include "kel_unixsock.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kel_files.h"

namespace {

bool AddressOf(const std::string& path, sockaddr_un* addr) {
  *addr = sockaddr_un{};
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

int ListenUnixSocket(const std::string& path, mode_t mode, int backlog) {
  sockaddr_un addr;
  if (!AddressOf(path, &addr)) return -1;
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // Nobody else may connect between bind and the mode below.
  mode_t old = umask(0177);
  bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(fd, backlog) == 0;
  umask(old);
  if (!ok) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  ProtectFileMode(path.c_str(), mode);
  return fd;
}

int ConnectUnixSocket(const std::string& path, int timeoutSeconds) {
  sockaddr_un addr;
  if (!AddressOf(path, &addr)) return -1;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{timeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const void* data, size_t size) {
  auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool RecvAll(int fd, void* data, size_t size) {
  auto* p = static_cast<char*>(data);
  while (size > 0) {
    ssize_t n = recv(fd, p, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}
