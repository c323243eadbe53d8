// A stand-in for the service on its control socket: every request gets the
// same state line; status queries are counted.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

namespace kel::test {

class FakeService {
 public:
  FakeService(const std::string& path, int state) : state_(state) {
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    listen(fd_, 8);
    thread_ = std::thread([this] {
      for (;;) {
        int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char buf[64];
        ssize_t n = recv(c, buf, sizeof buf, 0);
        if (n > 0 && std::string(buf, n).rfind("STATUS", 0) == 0) ++queries;
        if (n > 0 && std::string(buf, n).rfind("CONTROL", 0) == 0) ++controls;
        std::string reply = "STATE " + std::to_string(state_) + "\n";
        send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(c);
      }
    });
  }
  ~FakeService() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  std::atomic<int> queries{0};
  std::atomic<int> controls{0};

 private:
  int fd_;
  int state_;
  std::thread thread_;
};

}  // namespace kel::test
