#include "aa_session.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kel_files.h"

namespace {

constexpr size_t kIdBytes = 32;
constexpr const char kOwnerFile[] = "/owner";

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

}  // namespace

bool SessionStore::WellFormedId(const std::string& id) {
  if (id.size() != 2 * kIdBytes) return false;
  for (char c : id)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

bool SessionStore::Expired(const std::string& dir, std::chrono::milliseconds idle) const {
  struct stat st;
  if (stat((dir + kOwnerFile).c_str(), &st) != 0) return true;
  auto last = std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  auto now = std::chrono::system_clock::now().time_since_epoch();
  return now - last > idle;
}

int SessionStore::Count(std::chrono::milliseconds idle) {
  int live = 0;
  DIR* d = opendir(root_.c_str());
  if (!d) return 0;
  while (struct dirent* e = readdir(d)) {
    if (strncmp(e->d_name, "kel-", 4) != 0 || !WellFormedId(e->d_name + 4)) continue;
    std::string dir = root_ + "/" + e->d_name;
    if (Expired(dir, idle))
      RemoveTree(dir);
    else
      ++live;
  }
  closedir(d);
  return live;
}

bool SessionStore::Create(const std::string& user, int level, std::chrono::milliseconds idle, int maximum,
                          Session* out) {
  if (Count(idle) >= maximum) return false;
  Session s;
  if (!RandomId(&s.id)) return false;
  s.user = user;
  s.level = level;
  s.dir = DirOf(s.id);
  if (mkdir(s.dir.c_str(), 0770) != 0) return false;
  std::string owner = user + "\n" + std::to_string(level) + "\n";
  if (AtomicWriteFile((s.dir + kOwnerFile).c_str(), owner.data(), owner.size(), 0660) != 0) {
    RemoveTree(s.dir);
    return false;
  }
  *out = s;
  return true;
}

bool SessionStore::Find(const std::string& id, std::chrono::milliseconds idle, Session* out) {
  if (!WellFormedId(id)) return false;
  std::string dir = DirOf(id);
  if (Expired(dir, idle)) {
    RemoveTree(dir);
    return false;
  }
  std::ifstream in(dir + kOwnerFile);
  Session s;
  if (!std::getline(in, s.user) || !(in >> s.level) || s.user.empty()) return false;
  s.id = id;
  s.dir = dir;
  // A request restarts the idle time.
  utimensat(AT_FDCWD, (dir + kOwnerFile).c_str(), nullptr, 0);
  *out = s;
  return true;
}

void SessionStore::Remove(const std::string& id) {
  if (WellFormedId(id)) RemoveTree(DirOf(id));
}
