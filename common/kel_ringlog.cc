#include "kel_ringlog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <apr_time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kel_files.h"

namespace {

// A cycle, and the record that ends it.
constexpr off_t kRingLogReserve = kRingLogLimit + 65536;
constexpr const char* kSeverityNames[] = {"INFORMATION LOG", "WARNING LOG", "ERROR LOG", "CRITICAL ERROR LOG"};

bool PWriteAll(int fd, const char* data, size_t size, off_t at) {
  while (size > 0) {
    ssize_t n = pwrite(fd, data, size, at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
    at += n;
  }
  return true;
}

// The offset the header names, or 0 when it is not a usable one.
long ReadHeader(int fd, off_t fileSize) {
  char head[kRingLogHeaderSize + 1] = {0};
  if (pread(fd, head, kRingLogHeaderSize, 0) != kRingLogHeaderSize) return 0;
  char* end = nullptr;
  long value = strtol(head, &end, 16);
  // A value inside the header itself, or past the end of a file that someone
  // cut, would make the next record overwrite the header or leave a hole.
  if (value < kRingLogHeaderSize || value > kRingLogLimit || value > fileSize) return 0;
  return value;
}

}  // namespace

const char* RingLogSeverityName(int severity) {
  return severity >= 0 && severity <= 3 ? kSeverityNames[severity] : nullptr;
}

int RingLogWrite(const char* path, int severity, const char* message) {
  const char* name = RingLogSeverityName(severity);
  if (!path || !path[0] || !name || !message) return -1;

  unsigned old = ClearFileProtection(path);
  int fd = open(path, O_RDWR | O_CLOEXEC);
  bool created = false;
  if (fd < 0 && errno == ENOENT) {
    fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0660);
    if (fd < 0 && errno == EEXIST) fd = open(path, O_RDWR | O_CLOEXEC);
    created = fd >= 0;
  }
  RestoreFileProtection(path, old);
  if (fd < 0) return -1;
  // The service and the web server's workers both write it.
  if (created) ProtectFile(path);
  if (flock(fd, LOCK_EX) != 0) {
    close(fd);
    return -1;
  }

  struct stat st;
  bool haveStat = fstat(fd, &st) == 0;
  off_t fileSize = haveStat ? st.st_size : 0;
  // The room of a whole cycle is taken on disk before it is needed (the
  // size the file shows stays what it holds): on a full disk the log still
  // takes the lines that say what failed.
  if (haveStat && st.st_blocks * 512 < kRingLogReserve) fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, kRingLogReserve);
  bool ok = true;
  long pos = ReadHeader(fd, fileSize);
  if (pos == 0) {
    ok = PWriteAll(fd, "00000009\n", kRingLogHeaderSize, 0);
    pos = kRingLogHeaderSize;
  }

  char when[APR_CTIME_LEN];
  apr_ctime(when, apr_time_now());
  char head[128];
  int headLen = snprintf(head, sizeof head, "\n\n%s (severity=%d)  %s\n", name, severity, when);
  size_t messageLen = strlen(message);
  std::string record(head, headLen);
  record.append(message, messageLen);

  ok = ok && PWriteAll(fd, record.data(), record.size(), pos);
  long end = pos + static_cast<long>(record.size());
  // The record that crosses the limit ends the file: the stale tail of an
  // earlier cycle goes.
  if (ok && end > kRingLogLimit) ok = ftruncate(fd, end) == 0;
  if (ok) {
    char header[kRingLogHeaderSize + 1];
    snprintf(header, sizeof header, "%08lX\n", end);
    ok = PWriteAll(fd, header, kRingLogHeaderSize, 0);
  }
  flock(fd, LOCK_UN);
  close(fd);
  return ok ? static_cast<int>(messageLen) : -1;
}

int RingLogWriteV(const char* path, int severity, const char* format, va_list args) {
  if (!format) return -1;
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n < 0) return -1;
  std::string message(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(message.data(), message.size(), format, args);
  message.resize(static_cast<size_t>(n));
  return RingLogWrite(path, severity, message.c_str());
}
