#include "kel_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "kel_accounts.h"
#include "kel_dirs.h"
#include "kel_fd.h"

namespace {

constexpr const char* kServiceGroup = kServiceAccount;
constexpr char kStagedTag[] = ".staged";
constexpr size_t kUniqueLength = 6;  // mkstemp's XXXXXX
void (*g_beforeRenameHook)(const char*) = nullptr;

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

unsigned ClearFileProtection(const char* path) {
  struct stat st;
  if (!path || stat(path, &st) != 0 || (st.st_mode & S_IWUSR)) return 0;
  if (chmod(path, (st.st_mode & 07777) | S_IWUSR) != 0) return 0;
  return st.st_mode;
}

void RestoreFileProtection(const char* path, unsigned attributes) {
  if (path && attributes != 0) chmod(path, attributes & 07777);
}

FILE* OpenFileUnprotected(const char* path, const char* mode) {
  if (!path || !mode) return nullptr;
  unsigned old = ClearFileProtection(path);
  FILE* f = fopen(path, mode);
  RestoreFileProtection(path, old);
  return f;
}

int MakeWritable(const char* path) { return path && chmod(path, 0600) == 0 ? 1 : 0; }

int CopyFileOver(const char* from, const char* to) {
  FILE* in = OpenFileUnprotected(from, "rb");
  if (!in) return 0;
  struct stat st;
  mode_t mode = fstat(fileno(in), &st) == 0 ? (st.st_mode & 07777) : 0600;
  std::string bytes;
  char chunk[8192];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) bytes.append(chunk, n);
  bool ok = !ferror(in);
  fclose(in);
  if (!ok) return 0;
  // The copy takes the source's mode, so a copy of a key is no more readable
  // than the key.
  return AtomicWriteFile(to, bytes.data(), bytes.size(), mode, true) == 0 ? 1 : 0;
}

int MakeDir(const char* path) { return path && mkdir(path, 0777) == 0 ? 0 : -1; }
int RemoveDir(const char* path) { return path && rmdir(path) == 0 ? 0 : -1; }

namespace {

struct FindState {
  DIR* dir = nullptr;
  std::string directory;
  std::string pattern;
  ~FindState() {
    if (dir) closedir(dir);
  }
};

bool NextMatch(FindState* st, KelFindData* entry) {
  while (struct dirent* d = readdir(st->dir)) {
    if (strcmp(d->d_name, ".") == 0 || strcmp(d->d_name, "..") == 0) continue;
    if (fnmatch(st->pattern.c_str(), d->d_name, FNM_CASEFOLD) != 0) continue;
    if (entry) {
      snprintf(entry->name, sizeof entry->name, "%s", d->d_name);
      std::string full = st->directory + "/" + d->d_name;
      struct stat s;
      bool have = stat(full.c_str(), &s) == 0;
      entry->isDir = have && S_ISDIR(s.st_mode);
      entry->size = have ? s.st_size : 0;
    }
    return true;
  }
  return false;
}

}  // namespace

intptr_t FindFileFirst(const char* pattern, KelFindData* entry) {
  if (!pattern) return -1;
  auto st = std::make_unique<FindState>();
  const char* slash = strrchr(pattern, '/');
  st->directory = slash ? std::string(pattern, slash - pattern) : ".";
  if (st->directory.empty()) st->directory = "/";
  st->pattern = slash ? slash + 1 : pattern;
  st->dir = opendir(st->directory.c_str());
  if (!st->dir || !NextMatch(st.get(), entry)) return -1;
  return reinterpret_cast<intptr_t>(st.release());
}

int FindFileNext(intptr_t handle, KelFindData* entry) {
  if (handle == -1 || handle == 0) return -1;
  return NextMatch(reinterpret_cast<FindState*>(handle), entry) ? 0 : -1;
}

int FindFileClose(intptr_t handle) {
  if (handle == -1 || handle == 0) return -1;
  delete reinterpret_cast<FindState*>(handle);
  return 0;
}

void ForEachFile(const char* pattern, const std::function<void(const char*)>& fn) {
  KelFindData entry;
  intptr_t h = FindFileFirst(pattern, &entry);
  if (h == -1) return;
  do {
    if (!entry.isDir) fn(entry.name);
  } while (FindFileNext(h, &entry) == 0);
  FindFileClose(h);
}

namespace kel::testing {
void SetBeforeRenameHook(void (*hook)(const char*)) { g_beforeRenameHook = hook; }
}  // namespace kel::testing

int StageFile(const char* path, const void* data, size_t size, mode_t newMode, bool forceMode, std::string* staged) {
  if (!path || !staged || (!data && size)) return -1;
  std::string tmp = std::string(path) + kStagedTag + std::to_string(getpid()) + ".XXXXXX";
  int fd = mkstemp(tmp.data());
  if (fd < 0) return -1;

  struct stat old;
  // The file itself: a link in its place must not lend another file's owner.
  bool replacing = lstat(path, &old) == 0 && S_ISREG(old.st_mode);
  bool ok = WriteAll(fd, static_cast<const char*>(data), size);
  if (ok) {
    if (replacing && !forceMode) {
      ok = fchmod(fd, old.st_mode & 07777) == 0;
      // Keep the owner the old file had (the web server's workers must still
      // be able to write a settings file the service rewrote).
      if (ok && (old.st_uid != geteuid() || old.st_gid != getegid()) && geteuid() == 0)
        ok = fchown(fd, old.st_uid, old.st_gid) == 0;
    } else {
      ok = fchmod(fd, newMode) == 0;
    }
  }
  ok = ok && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (!ok) {
    unlink(tmp.c_str());
    return -1;
  }
  *staged = tmp;
  return 0;
}

bool IsStagedFileName(const char* name, pid_t* writer) {
  if (!name) return false;
  // <file>.staged<digits>.<6 characters>
  size_t n = strlen(name);
  if (n < kUniqueLength + 2) return false;
  size_t dot = n - kUniqueLength - 1;
  if (name[dot] != '.') return false;
  for (size_t i = dot + 1; i < n; ++i)
    if (!isalnum(static_cast<unsigned char>(name[i]))) return false;
  size_t digits = dot;
  while (digits > 0 && isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
  size_t tag = sizeof kStagedTag - 1;
  if (digits == dot || dot - digits > 9 || digits < tag + 1 || strncmp(name + digits - tag, kStagedTag, tag) != 0)
    return false;
  if (writer) *writer = static_cast<pid_t>(strtol(name + digits, nullptr, 10));
  return true;
}

namespace {

// A process that has ended but was not yet reaped (its parent died with it,
// or is slow) still answers kill(); it writes no more.
bool WriterRuns(pid_t pid) {
  if (pid <= 0) return false;
  // EPERM: it runs under another account, but runs.
  if (kill(pid, 0) != 0 && errno == ESRCH) return false;
  char path[32];
  snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  kel::ScopedFd fd(open(path, O_RDONLY | O_CLOEXEC));
  char stat[512];
  ssize_t n = fd.Valid() ? read(fd.Get(), stat, sizeof stat - 1) : -1;
  if (n <= 0) return true;
  stat[n] = '\0';
  // "pid (name) S ...": the name may hold anything, the state follows its last ")".
  const char* close = strrchr(stat, ')');
  return !(close && close[1] == ' ' && close[2] == 'Z');
}

}  // namespace

int RemoveOrphanedStagedFiles(const char* dir, const std::function<void(const std::string&)>& removed) {
  if (!dir) return 0;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir), closedir);
  if (!d) return 0;
  int kept = 0;
  while (struct dirent* e = readdir(d.get())) {
    pid_t writer = 0;
    if (!IsStagedFileName(e->d_name, &writer)) continue;
    if (WriterRuns(writer)) continue;
    std::string path = std::string(dir) + "/" + e->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (unlink(path.c_str()) == 0) {
      if (removed) removed(path);
    } else if (errno != ENOENT) {
      ++kept;
    }
  }
  return kept;
}

void DiscardStagedFile(const std::string& staged) {
  if (!staged.empty()) unlink(staged.c_str());
}

int CommitStagedFile(const std::string& staged, const char* target) {
  if (staged.empty() || !target) return -1;
  if (g_beforeRenameHook) g_beforeRenameHook(staged.c_str());
  if (rename(staged.c_str(), target) != 0) {
    unlink(staged.c_str());
    return -1;
  }
  // Make the rename itself durable.
  std::string dir(target);
  size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
  int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  return 0;
}

int AtomicWriteFile(const char* path, const void* data, size_t size, mode_t newMode, bool forceMode) {
  std::string staged;
  if (StageFile(path, data, size, newMode, forceMode, &staged) != 0) return -1;
  return CommitStagedFile(staged, path);
}

namespace {

// File systems that do not keep POSIX owners and modes.
bool KeepsPosixModes(const char* path) {
  struct statfs fs;
  if (statfs(path, &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x4d44UL:      // vfat, msdos
    case 0x2011BAB0UL:  // exfat
      return false;
    default:
      return true;
  }
}

// Owner and mode through a descriptor opened without following a link, so
// a link that a worker put in a group-writable directory cannot turn the
// change onto a file elsewhere.
bool ProtectOne(const char* path, mode_t mode, KelOwner owner) {
  kel::ScopedFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd.Valid()) {
    // A socket cannot be opened: it is changed by name, after a check that
    // the name is not a link.
    if (errno != ENXIO || lstat(path, &st) != 0 || !S_ISSOCK(st.st_mode)) return false;
  } else if (fstat(fd.Get(), &st) != 0) {
    return false;
  }
  bool ok = true;
  if (geteuid() == 0) {
    uid_t uid = 0;
    gid_t gid = 0, userGid;
    ok = LookupGroup(kServiceGroup, &gid);
    if (ok && owner == KelOwner::kWorkers) ok = LookupUser(kServiceGroup, &uid, &userGid);
    if (ok && !(mode & 0070) && owner == KelOwner::kRoot) gid = 0;
    if (ok) ok = fd.Valid() ? fchown(fd.Get(), uid, gid) == 0 : lchown(path, uid, gid) == 0;
  }
  return (fd.Valid() ? fchmod(fd.Get(), mode) : chmod(path, mode)) == 0 && ok;
}

}  // namespace

int ProtectBaseDir() {
  char base[kKelPathMax];
  GetBaseDir(base, sizeof base);
  return base[0] && KeepsPosixModes(base) && ProtectOne(base, 0750, KelOwner::kRoot) ? 1 : 0;
}

int ProtectFileMode(const char* path, mode_t mode) {
  if (!path) return 0;
  char base[kKelPathMax];
  GetBaseDir(base, sizeof base);
  if (!base[0] || !KeepsPosixModes(base)) return 0;
  bool baseOk = ProtectBaseDir() == 1;
  struct stat st;
  bool pathOk = lstat(path, &st) == 0 && ProtectOne(path, S_ISDIR(st.st_mode) ? 0770 : mode, KelOwner::kRoot);
  return baseOk && pathOk ? 1 : 0;
}

int ProtectFile(const char* path) { return ProtectFileMode(path, 0660); }

int ProtectPath(const char* path, mode_t mode, KelOwner owner) {
  if (!path || !KeepsPosixModes(path)) return 0;
  return ProtectOne(path, mode, owner) ? 1 : 0;
}

int WriteProtectedFile(const char* path, const void* data, size_t size) {
  // The rename replaces even a read-only file; the new one takes its mode
  // until the protection below sets the final one.
  if (AtomicWriteFile(path, data, size, 0660) != 0) return -1;
  ProtectFile(path);
  return 0;
}

int WriteProtectedFileAs(const char* path, const void* data, size_t size, mode_t mode, KelOwner owner) {
  // The new file never has more rights than it ends with, and it has its
  // final owner before it takes the old one's place: readers of the name
  // (the web server's workers) never meet a file they cannot open.
  std::string staged;
  if (StageFile(path, data, size, mode & 0770, true, &staged) != 0) return -1;
  if (!ProtectPath(staged.c_str(), mode, owner)) {
    unlink(staged.c_str());
    return -1;
  }
  ProtectBaseDir();
  return CommitStagedFile(staged, path);
}
