// The password check the workers ask for. PAM runs in a helper process that
// keeps root rights (the workers never read password hashes); the workers
// reach it over a local socket. Any failure on that path means "refused".
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

// Failed attempts slow the next answers to the same client address down.
class FailureThrottle {
 public:
  // The wait before answering a failure from address (after counting it).
  std::chrono::milliseconds Failed(const std::string& address);
  void Succeeded(const std::string& address);

 private:
  std::mutex lock_;
  std::map<std::string, int> failures_;
};

// Serves requests on a listening socket until it is shut down; each
// connection on a thread of its own so one slowed client waits alone.
void ServeAuthRequests(int listenFd, const char* pamService);

// Asks the helper at socketPath; 1 when the password is right, else 0.
int AskAuthHelper(const std::string& socketPath, const char* clientAddress, const char* user, const char* password);
