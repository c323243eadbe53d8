// Holding one of the module's reader/writer locks for a scope.
#pragma once

#include <apr_thread_rwlock.h>

class KelLockHold {
 public:
  // No lock (before the module made its locks, or when the caller asks for
  // none) holds nothing.
  KelLockHold(apr_thread_rwlock_t* lock, bool write, bool take = true) : lock_(take ? lock : nullptr) {
    if (lock_) (write ? apr_thread_rwlock_wrlock : apr_thread_rwlock_rdlock)(lock_);
  }
  ~KelLockHold() {
    if (lock_) apr_thread_rwlock_unlock(lock_);
  }
  KelLockHold(const KelLockHold&) = delete;
  KelLockHold& operator=(const KelLockHold&) = delete;

 private:
  apr_thread_rwlock_t* lock_;
};
