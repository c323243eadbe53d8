// SetKELData's body on any bytes: the form read, then the batch checked
// and stored into memory and the settings file (certificates included);
// the settings file always parses afterwards.
#include <cstdlib>

#include "cfg_batch.h"
#include "cfg_certs.h"
#include "cfg_keldata.h"
#include "cfg_settings_file.h"
#include "fuzz_config_env.h"
#include "kel_xml.h"
#include "svc_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string body = kelfuzz::Text(data, size);
  kelfuzz::Scratch scratch;
  KelConfigServerConfig* config = kelfuzz::FreshConfig(scratch.get());
  std::string path = KelSettingsFilePath();
  kelfuzz::WriteFile(path, kDefaultSettingsFile);
  apr_table_t* form = apr_table_make(scratch.get(), 8);
  if (!ReadKelDataForm(body, form)) return 0;
  int restart = 0;
  SetMultipleKELCfgValue(scratch.get(), config, form, kBatchStore | kBatchWrite, &restart, nullptr, nullptr);
  if (!kel::XmlDocument::Load(path.c_str())) abort();
  PurgeTrustedCerts(true, true);
  return 0;
}
