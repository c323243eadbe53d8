// The "Dornik-VEXD" cookie legacy agents trust, and the password check
// against the same hashes.
#include <strings.h>

#include <cstdio>
#include <cstdlib>

#include "apr_md5.h"
#include "bc_core.h"

namespace {

constexpr const char* kCookieName = "Dornik-VEXD";
constexpr unsigned kCookieVersion = 4, kCookieKind = 3, kCookieStamp = 12345678;
constexpr unsigned kLoopbackAddress = 0x0100007F;  // 127.0.0.1 in network order, read little-endian
constexpr const char* kUserNames[] = {"invalid", "anonymous", "user", "operator", "administrator"};

const char* HashFor(const KelBcServerConfig* config, const char* levelNote) {
  switch (levelNote ? levelNote[0] : '\0') {
    case '2':
      return config->orvUserHash;
    case '3':
      return config->orvOperatorHash;
    case '4':
      return config->orvAdministratorHash;
    default:
      return config->orvAnonymousHash;
  }
}

}  // namespace

std::string OrvDigestHex(const std::string& text) {
  unsigned char digest[APR_MD5_DIGESTSIZE];
  apr_md5(digest, text.data(), text.size());
  char hex[2 * APR_MD5_DIGESTSIZE + 1];
  for (size_t i = 0; i < APR_MD5_DIGESTSIZE; ++i) snprintf(hex + 2 * i, 3, "%02X", digest[i]);
  return hex;
}

std::string OrvCookieFor(const KelBcServerConfig* config, const char* levelNote) {
  const char* hash = HashFor(config, levelNote);
  std::string seed = BcPrintf("%s=%08X%04X%08X%08X%s", kCookieName, kCookieVersion, kCookieKind, kCookieStamp,
                            kLoopbackAddress, hash);
  std::string head = BcPrintf("%s=%08X%04X%08X%04X%s%08X%08X", kCookieName, kCookieVersion, kCookieKind, kCookieStamp,
                            kCookieKind, OrvDigestHex(seed).c_str(), kCookieStamp, kLoopbackAddress);
  return head + OrvDigestHex(head + hash);
}

const char* OrvUserNameFor(const char* levelNote) {
  int level = levelNote ? atoi(levelNote) : 1;
  if (level < 0 || level >= static_cast<int>(sizeof kUserNames / sizeof kUserNames[0])) return kUserNames[0];
  return kUserNames[level];
}

int OrvAuthUserWith(const KelBcServerConfig* config, const char* user, const char* password) {
  if (!config || !user || !password) return 0;
  std::string digest = OrvDigestHex(std::string(user) + ":" + password);
  if (strcasecmp(user, "administrator") == 0) return digest == config->orvAdministratorHash ? 1 : 0;
  if (strcasecmp(user, "operator") == 0) return digest == config->orvOperatorHash ? 2 : 0;
  return 0;
}
