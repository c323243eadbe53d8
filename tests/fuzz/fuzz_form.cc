// Form and query decoding on any bytes: the value decoder, the field
// lookup and the URL decoder. Decoding never makes a text longer, and a
// field's value never holds a zero byte.
#include <cstdlib>

#include "fuzz_env.h"
#include "kel_form.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body = kelfuzz::Text(data, size);
  for (const char* name : {"user", "password", "AddZQCert", ""}) {
    std::string value = KelFormField(body, name);
    if (value.size() > body.size() || value.find('\0') != std::string::npos) abort();
  }
  std::string value = body;
  if (!KelFormDecode(&value) && value != body) abort();  // refused: unchanged
  if (value.size() > body.size()) abort();
  std::string url = body;
  KelUrlDecode(&url);
  if (url.size() > body.size() || url.find('\0') != std::string::npos) abort();
  return 0;
}
