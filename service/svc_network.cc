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

#include "kel_host.h"

namespace {

constexpr int kLegacyPort = 2301;
constexpr int kClaimAttempts = 20;
constexpr int kReconnectWaitMs = 1200;
constexpr int kChangeDelayMs = 30000;
// The request goes with its terminating zero byte, as agents expect it.
constexpr char kReconnectRequest[] = "GET /proxy/Reconnect?Version=99.99.0.0 HTTP/1.0\r\n\r\n";

int g_claimedSocket = -1;
int g_watchStop = -1;
std::thread g_watchThread;

int ChangeDelayMs() {
  const char* test = getenv("KELSVC_TEST_WATCH_DELAY_MS");
  int ms = test ? atoi(test) : 0;
  return ms > 0 ? ms : kChangeDelayMs;
}

// Waits up to ms for the stop event; true when it came.
bool WaitForStop(int ms) {
  pollfd p{g_watchStop, POLLIN, 0};
  return poll(&p, 1, ms) > 0;
}

void WatchLoop(int nl, std::function<void()> onChange) {
  for (;;) {
    pollfd fds[2] = {{nl, POLLIN, 0}, {g_watchStop, POLLIN, 0}};
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
  close(nl);
}

}  // namespace

void SendReconnect() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kLegacyPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (send(fd, kReconnectRequest, sizeof kReconnectRequest, MSG_NOSIGNAL) != sizeof kReconnectRequest) {
    close(fd);
    return;
  }
  usleep(kReconnectWaitMs * 1000);
  char discard[4096];
  recv(fd, discard, sizeof discard, MSG_DONTWAIT);
  shutdown(fd, SHUT_RD);
  close(fd);
}

bool ClaimLegacyPort() {
  StartWinsock();
  for (int attempt = 0; attempt < kClaimAttempts; ++attempt) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kLegacyPort);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      g_claimedSocket = fd;
      return true;
    }
    close(fd);
    SendReconnect();
  }
  return false;
}

bool WatchAddressChanges(std::function<void()> onChange) {
  int nl = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (nl < 0) return false;
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_IPV4_IFADDR;
  if (bind(nl, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(nl);
    return false;
  }
  g_watchStop = eventfd(0, EFD_CLOEXEC);
  if (g_watchStop < 0) {
    close(nl);
    return false;
  }
  g_watchThread = std::thread(WatchLoop, nl, std::move(onChange));
  return true;
}

void StopAddressWatch() {
  if (g_watchStop < 0) return;
  uint64_t one = 1;
  if (write(g_watchStop, &one, sizeof one) < 0) {
  }
  if (g_watchThread.joinable()) g_watchThread.join();
  close(g_watchStop);
  g_watchStop = -1;
}
