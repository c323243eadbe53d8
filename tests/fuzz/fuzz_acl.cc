// The legacy ACL file DRKVEXD.ACL on any bytes: the header, up to five
// fixed records and the four hash slots they fill; every slot stays a
// terminated text of its size.
#include <cstdlib>
#include <cstring>

#include "bc_core.h"
#include "fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  KelBcServerConfig config{};
  ParseOrvAcl(reinterpret_cast<const char*>(data), size, &config, BcLogSink());
  for (const char* slot : {config.orvAnonymousHash, config.orvUserHash, config.orvOperatorHash,
                           config.orvAdministratorHash})
    if (strnlen(slot, kOrvHashSize) == kOrvHashSize) abort();
  OrvCookieFor(&config, "4");
  OrvAuthUserWith(&config, "administrator", "x");
  return 0;
}
