// The trusted-certificate import on any PEM text: the form's text as the
// store takes it, staged, checked and stored under its common name; no
// file may leave the certificate directory, and the store is emptied again.
#include <cstdlib>
#include <filesystem>

#include "cfg_batch.h"
#include "cfg_certs.h"
#include "fuzz_config_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = kelfuzz::Text(data, size);
  kelfuzz::Scratch scratch;
  KelConfigServerConfig* config = kelfuzz::FreshConfig(scratch.get());
  std::string dir = CertificateDirectory();
  for (const std::string& pem : {text, NormaliseCertificateText(text)})
    AddRawCertificate(config, pem.c_str(), true, size & 1);
  TrustedCert* list = nullptr;
  int n = ListCertificates(scratch.get(), config, &list);
  for (int i = 0; i < n; ++i)
    if (std::filesystem::path(list[i].path).parent_path() != dir) abort();
  for (const auto& entry : std::filesystem::directory_iterator(dir)) std::filesystem::remove(entry.path());
  // Everything written stays under the base directory.
  for (const auto& entry : std::filesystem::directory_iterator(kelfuzz::Root()))
    if (entry.path().filename() != "base" && entry.path().filename() != "wbem" && entry.path().filename() != "ssl")
      abort();
  return 0;
}
