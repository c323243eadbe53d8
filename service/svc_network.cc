#include "svc_network.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include "kel_fd.h"
#include "kel_host.h"

namespace {

constexpr int kLegacyPort = 2301;
constexpr int kClaimAttempts = 20;
constexpr int kReconnectWaitMs = 1200;
constexpr int kChangeDelayMs = 30000;
// The request goes with its terminating zero byte, as agents expect it.
constexpr char kReconnectRequest[] = "GET /proxy/Reconnect?Version=99.99.0.0 HTTP/1.0\r\n\r\n";

// Held until the program ends.
kel::ScopedFd g_claimedSocket;
kel::ScopedFd g_watchStop;
std::thread g_watchThread;

int ChangeDelayMs() {
  const char* test = getenv("KELSVC_TEST_WATCH_DELAY_MS");
  int ms = test ? atoi(test) : 0;
  return ms > 0 ? ms : kChangeDelayMs;
}

// Waits up to ms for the stop event; true when it came.
bool WaitForStop(int ms) {
  pollfd p{g_watchStop.Get(), POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

void WatchLoop(kel::ScopedFd socket, std::function<void()> onChange) {
  int nl = socket.Get();
  for (;;) {
    pollfd fds[2] = {{nl, POLLIN, 0}, {g_watchStop.Get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) break;
    if (fds[1].revents) break;
    char buf[8192];
    ssize_t n = recv(nl, buf, sizeof buf, 0);
    if (n <= 0) break;
    bool changed = false;
    for (nlmsghdr* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, static_cast<unsigned>(n)); h = NLMSG_NEXT(h, n))
      if (h->nlmsg_type == RTM_NEWADDR || h->nlmsg_type == RTM_DELADDR) changed = true;
    if (!changed) continue;
    if (WaitForStop(ChangeDelayMs())) break;
    // Changes during the wait are covered by the configuration made now.
    while (recv(nl, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
    onChange();
  }
}

}  // namespace

void SendReconnect() {
  kel::ScopedFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kLegacyPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (send(fd.Get(), kReconnectRequest, sizeof kReconnectRequest, MSG_NOSIGNAL) != sizeof kReconnectRequest) return;
  usleep(kReconnectWaitMs * 1000);
  char discard[4096];
  recv(fd.Get(), discard, sizeof discard, MSG_DONTWAIT);
  shutdown(fd.Get(), SHUT_RD);
}

bool ClaimLegacyPort() {
  StartWinsock();
  for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
    kel::ScopedFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) continue;
    int on = 1;
    setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kLegacyPort);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      g_claimedSocket = std::move(fd);
      return true;
    }
    fd.Reset();
    SendReconnect();
  }
  return false;
}

bool WatchAddressChanges(std::function<void()> onChange) {
  kel::ScopedFd nl(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
  if (!nl) return false;
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_IPV4_IFADDR;
  if (bind(nl.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  g_watchStop.Reset(eventfd(0, EFD_CLOEXEC));
  if (!g_watchStop) return false;
  g_watchThread = std::thread(WatchLoop, std::move(nl), std::move(onChange));
  return true;
}

void StopAddressWatch() {
  if (!g_watchStop) return;
  uint64_t one = 1;
  if (write(g_watchStop.Get(), &one, sizeof one) < 0) {
  }
  if (g_watchThread.joinable()) g_watchThread.join();
  g_watchStop.Reset();
}
