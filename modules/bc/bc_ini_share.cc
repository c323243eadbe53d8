// Opening a file that another writer may hold: the advisory lock of the
// sharing mode, waited for up to a bound.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "bc_ini.h"

namespace {

// Short enough that a waiting writer follows quickly, long enough not to
// spin on the processor for the whole wait.
constexpr auto kRetryPause = std::chrono::milliseconds(10);

}  // namespace

int DrkVexoOpenSharedFileWithWait(const char* path, int flags, int share, mode_t mode, int waitSeconds,
                                  const BcLogSink& log) {
  auto start = std::chrono::steady_clock::now();
  int lastError = 0;
  // The file is emptied only once it is ours: truncating before the lock
  // would cut the file under the writer that holds it.
  bool truncate = (flags & O_TRUNC) != 0;
  for (;;) {
    int fd = open(path, (flags & ~O_TRUNC) | O_CLOEXEC, mode);
    int error = 0;
    if (fd < 0) {
      error = errno;
      if (error == ENOENT) {
        BcLog(log, BcLogKind::kDebugOrv, "DrkVexoOpenSharedFileWithWait: %s file not found\n", path);
        return -1;
      }
      if (error == EEXIST) {
        BcLog(log, BcLogKind::kDebugOrv, "DrkVexoOpenSharedFileWithWait: %s file already exists\n", path);
        return -1;
      }
    } else if (flock(fd, (share == kDrkShareNone ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) {
      if (!truncate || ftruncate(fd, 0) == 0) return fd;
      error = errno;
      close(fd);
      return -1;
    } else {
      error = errno;
      close(fd);
    }
    if (error != lastError) {
      BcLog(log, BcLogKind::kDebugOrv, "DrkVexoOpenSharedFileWithWait: %s file blocked, error %08X\n", path,
            static_cast<unsigned>(error));
      lastError = error;
    }
    // Only a file held by another opener is waited for.
    if (error != EWOULDBLOCK || waitSeconds <= 0 ||
        std::chrono::steady_clock::now() - start >= std::chrono::seconds(waitSeconds))
      return -1;
    std::this_thread::sleep_for(kRetryPause);
  }
}
