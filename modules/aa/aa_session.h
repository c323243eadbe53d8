// Login sessions on disk under <base>/session: one directory a session
// (the "QXKEL-SessionDir" the other modules keep per-session files in), so
// sessions outlive a graceful restart of the web server. The directory's
// "owner" file holds the account, its level and when the level was last
// derived from the account's groups; the file's time is the session's last
// use.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

// The value of the cookie name in a Cookie header (the first one that
// stands at the header's start or after a blank or ";"); "" without it.
std::string SessionCookieValue(const char* header, const char* name);

struct Session {
  std::string id;    // 64 hexadecimal digits (256 random bits)
  std::string user;
  int level = 0;
  std::string dir;   // the session's directory
  std::chrono::system_clock::time_point checked{};  // level last derived
  std::chrono::system_clock::time_point used{};     // last request
};

struct SessionLimits {
  std::chrono::milliseconds idle{15 * 60 * 1000};
  int maximum = 128;    // sessions of all accounts
  int perAccount = 8;   // sessions of one account
};

enum class SessionAdmission {
  kCreated,
  kFull,    // session-maximum is reached and nothing may make room
  kFailed,  // the store could not be written
};

enum class LevelRecheck {
  kNotDue,     // derived recently enough
  kUnchanged,
  kChanged,    // the new level is in the session (and stored)
  kEnded,      // the account has no level any more: the session is gone
  kFailed,     // derived and used, but could not be stored
};

class SessionStore {
 public:
  explicit SessionStore(std::string root) : root_(std::move(root)) {}

  // A new session. An account at its own limit loses its least recently
  // used session; when all accounts together are at the maximum, an
  // administrator's login ends the least recently used session of a lower
  // level, any other login is refused (kFull). ended receives the sessions
  // that were ended to make room.
  SessionAdmission Create(const std::string& user, int level, const SessionLimits& limits, Session* out,
                          std::vector<Session>* ended);
  // The live session of that id, its idle time started anew (to within a
  // hundredth of idle: the file is not touched at every request); false for an
  // unknown, malformed or idle one (which is removed).
  bool Find(const std::string& id, std::chrono::milliseconds idle, Session* out);
  // When the level was derived longer than interval ago, derives it anew
  // with levelOf (kLevelNone ends the session).
  LevelRecheck Recheck(Session* s, std::chrono::milliseconds interval,
                       const std::function<int(const std::string& user)>& levelOf);
  void Remove(const std::string& id);
  // Live sessions; idle ones are removed on the way.
  int Count(std::chrono::milliseconds idle);

  static bool WellFormedId(const std::string& id);

 private:
  std::string DirOf(const std::string& id) const { return root_ + "/kel-" + id; }
  bool Read(const std::string& id, Session* out) const;
  bool WriteOwner(const Session& s) const;
  std::vector<Session> Live(std::chrono::milliseconds idle);
  std::string root_;
};
