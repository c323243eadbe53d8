// DRKVEXD.ACL: the group hashes the legacy cookie is built from.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "bc_core.h"
#include "kel_dirs.h"

namespace {

constexpr char kAclHeader[] = "Dornik-WBEM-AclFile, 1.1";  // and its zero byte: 25 bytes
constexpr size_t kAclHeaderSize = sizeof kAclHeader;
constexpr size_t kRecordSize = 266;
constexpr size_t kMaxRecords = 5;
constexpr size_t kNameOffset = 8, kNameSize = 192;
constexpr size_t kHashOffset = 200, kHashSize = 66;

struct FdClose {
  int fd;
  ~FdClose() {
    if (fd >= 0) close(fd);
  }
};

bool ReadWhole(int fd, char* buf, size_t size) {
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, buf + got, size - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

char* SlotFor(KelBcServerConfig* config, const char* name, bool* administrator) {
  *administrator = false;
  if (strcmp(name, "anonymous") == 0) return config->orvAnonymousHash;
  if (strcmp(name, "user") == 0) return config->orvUserHash;
  if (strcmp(name, "operator") == 0) return config->orvOperatorHash;
  if (strcmp(name, "administrator") == 0) {
    *administrator = true;
    return config->orvAdministratorHash;
  }
  return nullptr;
}

}  // namespace

int getOrvACL(apr_pool_t* temp, KelBcServerConfig* config, const BcLogSink& log) {
  char dir[kKelPathMax];
  GetWbemDir(dir, sizeof dir);
  char path[kKelPathMax];
  JoinPath(path, sizeof path, dir, "DRKVEXD.ACL");
  BcLog(log, BcLogKind::kDebug, "VEXOACLFile = %s", path);

  FdClose file{open(path, O_RDONLY | O_CLOEXEC)};
  if (file.fd < 0) {
    BcLog(log, BcLogKind::kDebug, "could not open acl file...VEXOACLFile = %s", path);
    return 1;
  }
  struct stat st;
  if (fstat(file.fd, &st) != 0 || st.st_size < static_cast<off_t>(kAclHeaderSize)) return 0;
  size_t size = static_cast<size_t>(st.st_size);
  auto* buf = static_cast<char*>(apr_pcalloc(temp, size + 1));
  if (!buf) {
    BcLog(log, BcLogKind::kDebug, "getOrvACL: Memory allocation error.");
    return 0;
  }
  if (!ReadWhole(file.fd, buf, size)) {
    BcLog(log, BcLogKind::kDebug, "getOrvACL: error reading file.");
    return 0;
  }
  return ParseOrvAcl(buf, size, config, log);
}

int ParseOrvAcl(const char* data, size_t size, KelBcServerConfig* config, const BcLogSink& log) {
  if (size < kAclHeaderSize || memcmp(data, kAclHeader, kAclHeaderSize) != 0) return 0;
  const char* records = data + kAclHeaderSize;
  size_t rest = size - kAclHeaderSize;
  for (size_t i = 0; i < kMaxRecords && (i + 1) * kRecordSize <= rest; ++i) {
    const char* record = records + i * kRecordSize;
    int32_t present;
    memcpy(&present, record, sizeof present);  // little-endian, as the platform
    if (present <= 0) break;
    // Both texts are bounded by their fields even when a writer left no zero.
    std::string name(record + kNameOffset, strnlen(record + kNameOffset, kNameSize));
    std::string hash(record + kHashOffset, strnlen(record + kHashOffset, kHashSize));
    bool administrator;
    char* slot = SlotFor(config, name.c_str(), &administrator);
    if (!slot) continue;
    snprintf(slot, kOrvHashSize, "%s", hash.c_str());
    if (administrator) BcLog(log, BcLogKind::kDebug, "bcss->orvAdministratorHash = %s", slot);
  }
  return 1;
}
