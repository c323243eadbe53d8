// The settings file conf/kelpd.xml on any bytes, read as the settings
// module reads (and repairs) it and as the service reads it to generate the
// web server's configuration. The root parent acts on that configuration,
// and the workers may write the settings file: no setting may add a
// directive the generator does not write for some valid settings, nor a
// piped log other than rotatelogs.
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

#include "cfg_settings_file.h"
#include "fuzz_config_env.h"
#include "svc_log.h"
#include "svc_settings.h"

namespace {

std::string Generated() {
  std::ifstream in(kelfuzz::Base() + "/conf/kelpd.conf");
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::set<std::string> FirstWords(const std::string& conf) {
  std::set<std::string> words;
  std::istringstream lines(conf);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string word;
    if (fields >> word) words.insert(word);
  }
  return words;
}

std::string Settings(const std::string& elements) {
  return "<?xml version=\"1.0\"?>\n<kel-portal>" + elements + "</kel-portal>";
}

// Every directive the generator writes for settings that are valid.
const std::set<std::string>& Vocabulary() {
  static const std::set<std::string> words = [] {
    std::set<std::string> all;
    for (const std::string& elements :
         {std::string(), std::string("<ip-restricted-logins>True</ip-restricted-logins>"
                                     "<ip-restricted-include>10.0.0.1-10.0.0.9</ip-restricted-include>"
                                     "<ip-restricted-exclude>10.0.0.5</ip-restricted-exclude>"),
          std::string("<ip-binding>True</ip-binding><ip-binding-list>127.0.0.1/255.0.0.0</ip-binding-list>"),
          std::string("<rotate-logs>2</rotate-logs><win32-disable-acceptex>True</win32-disable-acceptex>"
                      "<log-base-dir>/var/log/kel</log-base-dir>"),
          std::string("<rotate-logs>1</rotate-logs>")}) {
      kelfuzz::WriteFile(KelSettingsFilePath(), Settings(elements));
      if (LoadSettings() != 0) abort();
      std::set<std::string> words = FirstWords(Generated());
      all.insert(words.begin(), words.end());
    }
    return all;
  }();
  return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = [] {
    kelfuzz::ConfigModule();
    ServiceLogInit();
    ComputeOsDefaults();
    Vocabulary();
    return true;
  }();
  (void)ready;
  std::string text = kelfuzz::Text(data, size);
  std::string path = KelSettingsFilePath();
  kelfuzz::Scratch scratch;
  kelfuzz::WriteFile(path, text);
  ReadSettingsFile(kelfuzz::FreshConfig(scratch.get()));
  kelfuzz::WriteFile(path, text);
  if (LoadSettings() != 0) return 0;
  std::string conf = Generated();
  for (const std::string& word : FirstWords(conf))
    if (!Vocabulary().count(word)) abort();
  const std::string rotatelogs = "\"|" + kelfuzz::Base() + "/bin/rotatelogs ";
  for (size_t at = conf.find("\"|"); at != std::string::npos; at = conf.find("\"|", at + 1))
    if (conf.compare(at, rotatelogs.size(), rotatelogs) != 0) abort();
  return 0;
}
