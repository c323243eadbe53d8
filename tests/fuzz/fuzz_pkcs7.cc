// The PKCS#7 import on any form body: the pkcs7_data field decoded, the
// reply parsed and, for a key that matches every certificate, the chosen
// one checked and written as cert.pem; the certificate request's query on
// the same bytes.
#include <openssl/err.h>

#include <ctime>

#include "fuzz_env.h"
#include "pkcs_import.h"
#include "pkcs_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body = kelfuzz::Text(data, size);
  PkcsSubject subject;
  std::string why;
  PkcsSubjectFromQuery(body.c_str(), &subject, &why);
  std::string text;
  if (Pkcs7FormText(body, &text, &why) == 0) {
    ImportPaths paths{kelfuzz::Base() + "/data", kelfuzz::Root() + "/ssl"};
    InstallFromPkcs7(text, paths, [](X509*) { return KeyAnswer{true, kKeyMatches, "", ""}; }, time(nullptr));
  }
  ERR_clear_error();
  return 0;
}
