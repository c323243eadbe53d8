#include "aa_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "aa_levels.h"
#include "kel_fd.h"
#include "kel_files.h"

namespace {

constexpr size_t kIdBytes = 32;
constexpr const char kOwnerFile[] = "/owner";
constexpr const char kLockFile[] = "/.lock";

using Clock = std::chrono::system_clock;

bool RandomId(std::string* id) {
  unsigned char bytes[kIdBytes];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  static const char kHex[] = "0123456789abcdef";
  id->clear();
  for (unsigned char b : bytes) {
    id->push_back(kHex[b >> 4]);
    id->push_back(kHex[b & 15]);
  }
  return true;
}

void RemoveTree(const std::string& dir) {
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

bool LastUse(const std::string& dir, Clock::time_point* when) {
  struct stat st;
  if (stat((dir + kOwnerFile).c_str(), &st) != 0) return false;
  *when = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
  return true;
}

bool Expired(const std::string& dir, std::chrono::milliseconds idle) {
  Clock::time_point used;
  return !LastUse(dir, &used) || Clock::now() - used > idle;
}

// Sessions of several worker threads (and, during a graceful restart, of
// two generations of workers) are admitted one at a time.
class StoreLock {
 public:
  explicit StoreLock(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660)) {
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) close(fd_);
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Least recently used first.
void OldestFirst(std::vector<Session>* list) {
  std::sort(list->begin(), list->end(), [](const Session& a, const Session& b) { return a.used < b.used; });
}

}  // namespace

std::string SessionCookieValue(const char* header, const char* name) {
  if (!header) return "";
  std::string cookies = header;
  std::string key = std::string(name) + "=";
  size_t at = 0;
  while ((at = cookies.find(key, at)) != std::string::npos) {
    if (at == 0 || cookies[at - 1] == ' ' || cookies[at - 1] == ';') {
      size_t end = cookies.find(';', at);
      return cookies.substr(at + key.size(), end == std::string::npos ? std::string::npos : end - at - key.size());
    }
    at += key.size();
  }
  return "";
}

bool SessionStore::WellFormedId(const std::string& id) {
  if (id.size() != 2 * kIdBytes) return false;
  for (char c : id)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool SessionStore::Read(const std::string& id, Session* out) const {
  std::ifstream in(DirOf(id) + kOwnerFile);
  Session s;
  long long checkedMs = 0;
  if (!std::getline(in, s.user) || !(in >> s.level) || s.user.empty()) return false;
  // Sessions written before the level was re-derived have no time: due now.
  if (!(in >> checkedMs)) checkedMs = 0;
  s.checked = Clock::time_point(std::chrono::milliseconds(checkedMs));
  s.id = id;
  s.dir = DirOf(id);
  if (!LastUse(s.dir, &s.used)) return false;
  *out = s;
  return true;
}

bool SessionStore::WriteOwner(const Session& s) const {
  long long checkedMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(s.checked.time_since_epoch()).count();
  std::string owner = s.user + "\n" + std::to_string(s.level) + "\n" + std::to_string(checkedMs) + "\n";
  return AtomicWriteFile((s.dir + kOwnerFile).c_str(), owner.data(), owner.size(), 0660) == 0;
}

std::vector<Session> SessionStore::Live(std::chrono::milliseconds idle) {
  std::vector<Session> live;
  DIR* d = opendir(root_.c_str());
  if (!d) return live;
  while (struct dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "kel-", 4) != 0 || !WellFormedId(e->d_name + 4)) continue;
    std::string id = e->d_name + 4;
    Session s;
    if (Expired(DirOf(id), idle) || !Read(id, &s))
      RemoveTree(DirOf(id));
    else
      live.push_back(s);
  }
  closedir(d);
  return live;
}

int SessionStore::Count(std::chrono::milliseconds idle) { return static_cast<int>(Live(idle).size()); }

SessionAdmission SessionStore::Create(const std::string& user, int level, const SessionLimits& limits, Session* out,
                                      std::vector<Session>* ended) {
  StoreLock lock(root_ + kLockFile);
  if (!lock.held()) return SessionAdmission::kFailed;
  std::vector<Session> live = Live(limits.idle);
  OldestFirst(&live);
  auto end = [&](std::vector<Session>::iterator it) {
    RemoveTree(it->dir);
    if (ended) ended->push_back(*it);
    return live.erase(it);
  };
  // An account that is at its own limit makes room among its own sessions:
  // whoever holds the password may always log in, and no one else loses a
  // session for it.
  int own = static_cast<int>(std::count_if(live.begin(), live.end(), [&](const Session& s) { return s.user == user; }));
  for (auto it = live.begin(); it != live.end() && own >= std::max(limits.perAccount, 1);) {
    if (it->user == user) {
      it = end(it);
      --own;
    } else {
      ++it;
    }
  }
  // Lower levels never lock administrators out.
  for (auto it = live.begin(); it != live.end() && static_cast<int>(live.size()) >= limits.maximum;) {
    if (level >= kLevelAdministrator && it->level < kLevelAdministrator)
      it = end(it);
    else
      ++it;
  }
  if (static_cast<int>(live.size()) >= limits.maximum) return SessionAdmission::kFull;

  Session s;
  if (!RandomId(&s.id)) return SessionAdmission::kFailed;
  s.user = user;
  s.level = level;
  s.dir = DirOf(s.id);
  s.checked = s.used = Clock::now();
  if (mkdir(s.dir.c_str(), 0770) != 0) return SessionAdmission::kFailed;
  if (!WriteOwner(s)) {
    RemoveTree(s.dir);
    return SessionAdmission::kFailed;
  }
  *out = s;
  return SessionAdmission::kCreated;
}

bool SessionStore::Find(const std::string& id, std::chrono::milliseconds idle, Session* out) {
  if (!WellFormedId(id)) return false;
  std::string dir = DirOf(id);
  if (Expired(dir, idle)) {
    RemoveTree(dir);
    return false;
  }
  Session s;
  if (!Read(id, &s)) return false;
  // A request restarts the idle time. A session in use is touched once in
  // a hundredth of its idle limit, not at every request: each touch is an
  // inode write, and a page's many requests come within moments.
  Clock::time_point now = Clock::now();
  if (now - s.used >= idle / 100) utimensat(AT_FDCWD, (dir + kOwnerFile).c_str(), nullptr, 0);
  s.used = now;
  *out = s;
  return true;
}

LevelRecheck SessionStore::Recheck(Session* s, std::chrono::milliseconds interval,
                                   const std::function<int(const std::string& user)>& levelOf) {
  Clock::time_point now = Clock::now();
  if (now - s->checked < interval) return LevelRecheck::kNotDue;
  // All requests of a busy session fall due in the same moment; one of
  // them derives the level (an account lookup and a synced write), the
  // others go on with the level of a moment ago instead of queueing
  // behind it.
  kel::ScopedFd dir(open(s->dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Valid() && flock(dir.Get(), LOCK_EX | LOCK_NB) != 0) return LevelRecheck::kNotDue;
  // Another request may have derived it since this one read the session.
  Session fresh;
  if (Read(s->id, &fresh) && now - fresh.checked < interval) {
    s->level = fresh.level;
    s->checked = fresh.checked;
    return LevelRecheck::kNotDue;
  }
  int level = levelOf(s->user);
  if (level <= kLevelNone) {
    Remove(s->id);
    return LevelRecheck::kEnded;
  }
  bool changed = level != s->level;
  s->level = level;
  s->checked = now;
  if (!WriteOwner(*s)) return LevelRecheck::kFailed;
  return changed ? LevelRecheck::kChanged : LevelRecheck::kUnchanged;
}

void SessionStore::Remove(const std::string& id) {
  if (WellFormedId(id)) RemoveTree(DirOf(id));
}
