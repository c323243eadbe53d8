// The control socket <write>/run/kelsvc.sock, answered on a thread of its
// own so that status queries are served while the service restarts the
// web server.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "kel_fd.h"

struct ServiceControls {
  // Control 128. Requests that arrive while a restart is under way are
  // merged into one restart after the last of them.
  std::function<void()> restart;
  // Control 1.
  std::function<void()> stop;
};

class ControlServer {
 public:
  ControlServer() = default;
  ~ControlServer() { Close(); }
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  bool Open(ServiceControls controls);
  // Controls are refused until the start-up sequence is over.
  void AcceptControls() { accepting_ = true; }
  // Stops answering, waits for the requests under way, removes the socket.
  void Close();

 private:
  void Serve();
  void Handle(kel::ScopedFd client);
  std::string Answer(const std::string& request);

  ServiceControls controls_;
  std::string path_;
  kel::ScopedFd listen_;
  kel::ScopedFd stop_;
  std::thread thread_;
  std::atomic<bool> accepting_{false};
  std::mutex clientsLock_;
  std::condition_variable clientsDone_;
  int clients_ = 0;
};
