// The settings file conf/kelpd.xml on any bytes, read as the settings
// module reads (and repairs) it and as the service reads it to generate the
// web server's configuration.
#include "cfg_settings_file.h"
#include "fuzz_config_env.h"
#include "svc_log.h"
#include "svc_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    kelfuzz::ConfigModule();
    ServiceLogInit();
    ComputeOsDefaults();
    return true;
  }();
  (void)ready;
  std::string text = kelfuzz::Text(data, size);
  std::string path = KelSettingsFilePath();
  kelfuzz::Scratch scratch;
  kelfuzz::WriteFile(path, text);
  ReadSettingsFile(kelfuzz::FreshConfig(scratch.get()));
  kelfuzz::WriteFile(path, text);
  LoadSettings();
  return 0;
}
