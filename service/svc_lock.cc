#include "svc_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kel_fd.h"
#include "kel_files.h"
#include "kel_svcctl.h"

namespace {

constexpr mode_t kRunDirMode = 0750;
constexpr mode_t kLockMode = 0600;

// Held until the process ends.
kel::ScopedFd g_lock;

}  // namespace

void PrepareRunDirectory() {
  std::string dir = ServiceRunDir();
  MakeDir(dir.c_str());
  ProtectPath(dir.c_str(), kRunDirMode, KelOwner::kRoot);
}

bool AcquireInstanceLock(bool* alreadyRunning) {
  PrepareRunDirectory();
  kel::ScopedFd fd(open(ServiceLockPath().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLockMode));
  // A lock that cannot be made or taken counts as taken.
  *alreadyRunning = true;
  if (!fd || flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return false;
  ProtectPath(ServiceLockPath().c_str(), kLockMode, KelOwner::kRoot);
  *alreadyRunning = false;
  g_lock = std::move(fd);
  return true;
}
