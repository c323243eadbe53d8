#include "svc_control.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "kel_svcctl.h"
#include "kel_unixsock.h"
#include "svc_status.h"

namespace {

// Like a Windows service control, a restart returns once the service has
// done it (or this long has passed; the caller then polls the status).
constexpr auto kControlWait = std::chrono::seconds(30);
constexpr timeval kRequestTimeout{5, 0};

std::string StateLine() { return "STATE " + std::to_string(CurrentState()) + "\n"; }

}  // namespace

bool ControlServer::Open(ServiceControls controls) {
  controls_ = std::move(controls);
  path_ = ServiceSocketPath();
  // The web server's workers (group qxkel) ask for restarts here.
  listen_.Reset(ListenUnixSocket(path_, 0660, 16));
  if (!listen_) return false;
  stop_.Reset(eventfd(0, EFD_CLOEXEC));
  if (!stop_) return false;
  thread_ = std::thread([this] { Serve(); });
  return true;
}

void ControlServer::Close() {
  if (thread_.joinable()) {
    uint64_t one = 1;
    if (write(stop_.Get(), &one, sizeof one) < 0) {
    }
    thread_.join();
    std::unique_lock<std::mutex> hold(clientsLock_);
    clientsDone_.wait_for(hold, kControlWait, [this] { return clients_ == 0; });
  }
  stop_.Reset();
  if (listen_) {
    listen_.Reset();
    unlink(path_.c_str());
  }
}

void ControlServer::Serve() {
  for (;;) {
    pollfd fds[2] = {{listen_.Get(), POLLIN, 0}, {stop_.Get(), POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents) return;
    kel::ScopedFd client(accept4(listen_.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!client) continue;
    // A restart keeps its caller waiting; status queries go on meanwhile.
    {
      std::lock_guard<std::mutex> hold(clientsLock_);
      ++clients_;
    }
    std::thread([this, c = std::move(client)]() mutable {
      Handle(std::move(c));
      std::lock_guard<std::mutex> hold(clientsLock_);
      --clients_;
      clientsDone_.notify_all();
    }).detach();
  }
}

void ControlServer::Handle(kel::ScopedFd client) {
  setsockopt(client.Get(), SOL_SOCKET, SO_RCVTIMEO, &kRequestTimeout, sizeof kRequestTimeout);
  char buf[64];
  std::string line;
  while (line.find('\n') == std::string::npos && line.size() < sizeof buf) {
    ssize_t n = recv(client.Get(), buf, sizeof buf, 0);
    if (n <= 0) break;
    line.append(buf, n);
  }
  std::string reply = Answer(line.substr(0, line.find('\n')));
  send(client.Get(), reply.data(), reply.size(), MSG_NOSIGNAL);
}

// ServiceControlHandler.
std::string ControlServer::Answer(const std::string& request) {
  if (request == "STATUS") return StateLine();
  int control = 0;
  if (sscanf(request.c_str(), "CONTROL %d", &control) != 1) return "REFUSED\n";
  int state = CurrentState();
  if (!accepting_ || state == kStateStopped) return "REFUSED\n";
  switch (control) {
    case kControlStop:
      if (state != kStateStopPending) {
        SetState(kStateStopPending);
        controls_.stop();
      }
      break;
    case kControlRestart:
      if (state == kStateStopPending) return "REFUSED\n";
      controls_.restart();
      WaitWhileState(kStateStartPending, kControlWait);
      break;
    default:  // 5 (shutdown) and every other control: nothing
      break;
  }
  return StateLine();
}
