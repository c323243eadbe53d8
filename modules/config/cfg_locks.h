// Holding one of the module's reader/writer locks for a scope.
#pragma once

#include <apr_thread_rwlock.h>

#include <atomic>

// Counts every write hold of the module's locks: an answer built from what
// they guard may be kept while the count stays the same. A writer counts
// before it changes anything, so a reader that sees the same count after
// building saw no change begun meanwhile.
inline std::atomic<unsigned long> g_kelLockedWrites{0};

class KelLockHold {
 public:
  // No lock (before the module made its locks, or when the caller asks for
  // none) holds nothing.
  KelLockHold(apr_thread_rwlock_t* lock, bool write, bool take = true) : lock_(take ? lock : nullptr) {
    if (lock_) (write ? apr_thread_rwlock_wrlock : apr_thread_rwlock_rdlock)(lock_);
    if (write) g_kelLockedWrites.fetch_add(1);
  }
  ~KelLockHold() {
    if (lock_) apr_thread_rwlock_unlock(lock_);
  }
  KelLockHold(const KelLockHold&) = delete;
  KelLockHold& operator=(const KelLockHold&) = delete;

 private:
  apr_thread_rwlock_t* lock_;
};
