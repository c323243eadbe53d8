// Login sessions on disk under <base>/session: one directory a session
// (the "QXKEL-SessionDir" the other modules keep per-session files in), so
// sessions outlive a graceful restart of the web server.
#pragma once

#include <chrono>
#include <string>

struct Session {
  std::string id;    // 64 hexadecimal digits (256 random bits)
  std::string user;
  int level = 0;
  std::string dir;   // the session's directory
};

class SessionStore {
 public:
  explicit SessionStore(std::string root) : root_(std::move(root)) {}

  // A new session; false when `maximum` live sessions exist already (after
  // the idle ones are removed) or it cannot be written.
  bool Create(const std::string& user, int level, std::chrono::milliseconds idle, int maximum, Session* out);
  // The live session of that id, its idle time started anew; false for an
  // unknown, malformed or idle one (which is removed).
  bool Find(const std::string& id, std::chrono::milliseconds idle, Session* out);
  void Remove(const std::string& id);
  // Live sessions; idle ones are removed on the way.
  int Count(std::chrono::milliseconds idle);

  static bool WellFormedId(const std::string& id);

 private:
  std::string DirOf(const std::string& id) const { return root_ + "/kel-" + id; }
  bool Expired(const std::string& dir, std::chrono::milliseconds idle) const;
  std::string root_;
};
