// The settings file conf/kelpd.xml as the service program reads it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kel {
class XmlDocument;
}

// What one read of the settings file leaves for the configuration generator.
// Every field is reset to its default before each read.
struct ServiceSettings {
  bool restrictLogins = false;
  std::optional<std::string> includeList;
  std::optional<std::string> excludeList;
  bool bindListedNetworks = false;
  std::optional<std::string> bindingList;
  bool lockLegacyPort = false;
  bool monitorAddressChanges = false;
  bool rotateLogs = true;
  bool disableAcceptEx = false;
  std::optional<std::string> logDirectory;
  bool sslv2Disabled = true;
  int maxThreads = 250;
  std::string logLevel = "error";
  // BindAddressList, built during the read and released after generation.
  std::vector<std::string> bindAddresses;
};

// The platform defaults of the lock and rotate fields, computed once at
// program start (ComputeOsDefaults).
struct OsDefaults {
  bool lockLegacyPort = false;
  bool rotateLogs = true;
};

extern ServiceSettings g_serviceSettings;
extern OsDefaults g_osDefaults;

void ComputeOsDefaults();

// The exact default settings file, written when the file is missing or
// does not parse.
extern const char kDefaultSettingsFile[];

// Path of the settings file, the one the settings module writes.
std::string SettingsFilePath();

// The whole read: default file when needed, every field, bind addresses,
// configuration and php.ini. 0 on success, 1 on failure.
int LoadSettings();
// Writes the default file when forced or when no file exists. 0, or 1 when
// the file cannot be created.
int WriteDefaultSettings(bool force);
// The first element of that tag name anywhere in the document: its first
// child's text, "" when it has no child, none when there is no element.
std::optional<std::string> GetElementText(const kel::XmlDocument& doc, const char* tag);

// The log directory the configuration uses: the log-base-dir setting when it
// is a safe absolute path, else KELSVCM_LOG_DIR, else the base directory.
std::string ResolveLogDirectory(const ServiceSettings& settings);
