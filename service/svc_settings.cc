#include "svc_settings.h"

#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_host.h"
#include "kel_xml.h"
#include "svc_config.h"
#include "svc_log.h"
#include "svc_servlet.h"

ServiceSettings g_serviceSettings;
OsDefaults g_osDefaults;

// 17 lines, each ended by a line feed but the last.
const char kDefaultSettingsFile[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<kel-portal>\n"
    "<admin-group></admin-group>\n"
    "<operator-group></operator-group>\n"
    "<user-group></user-group>\n"
    "<allow-default-os-admin>True</allow-default-os-admin>\n"
    "<anonymous-access>False</anonymous-access>\n"
    "<localaccess-enabled>False</localaccess-enabled>\n"
    "<localaccess-type>Anonymous</localaccess-type>\n"
    "<trustmode>TrustByCert</trustmode>\n"
    "<zqnamelist></zqnamelist>\n"
    "<ip-restricted-logins>False</ip-restricted-logins>\n"
    "<ip-restricted-include></ip-restricted-include>\n"
    "<ip-restricted-exclude></ip-restricted-exclude>\n"
    "<ip-binding>False</ip-binding>\n"
    "<ip-binding-list></ip-binding-list>\n"
    "</kel-portal>";

namespace {

constexpr int kDefaultMaxThreads = 250;
constexpr int kMinThreads = 64;
constexpr int kMaxThreads = 512;

// In the order they are compared; anything else present is "error".
constexpr const char* kLogLevels[] = {"debug", "warn", "info", "notice", "alert", "emerg", "crit"};

bool IsTrue(const std::optional<std::string>& v) { return v && strcasecmp(v->c_str(), "True") == 0; }
bool IsFalse(const std::optional<std::string>& v) { return v && strcasecmp(v->c_str(), "False") == 0; }

// A one-character digit setting, or -1.
int SingleDigit(const std::optional<std::string>& v) {
  if (!v || v->size() != 1) return -1;
  return (*v)[0] - '0';
}

// The log directory lands in ErrorLog and CustomLog lines that the root
// parent acts on: a pipe, a quote, a variable or a line break there would
// be a command or directive of the file's author. Only a plain absolute
// path is taken.
bool IsSafeLogDirectory(const std::string& dir) {
  if (dir.empty() || dir[0] != '/') return false;
  for (unsigned char c : dir)
    if (c <= ' ' || c == 0x7f || strchr("\"'`|$<>\\", c)) return false;
  return true;
}

}  // namespace

void ComputeOsDefaults() {
  // Lock on the Windows version's newer platform only; rotate logs otherwise.
  g_osDefaults.lockLegacyPort = CheckOsVersion() == 1;
  g_osDefaults.rotateLogs = CheckOsVersion() != 1;
}

std::string SettingsFilePath() { return KelSharedPath(KelShared::kSettingsFile); }

int WriteDefaultSettings(bool force) {
  std::string path = SettingsFilePath();
  if (!force && access(path.c_str(), F_OK) == 0) return 0;
  MakeParentDirs(path.c_str());
  // The settings module replaces the file (in a directory with the sticky
  // bit): the workers own it.
  return WriteProtectedFileAs(path.c_str(), kDefaultSettingsFile, sizeof kDefaultSettingsFile - 1, kWorkerFileMode,
                              KelOwner::kWorkers) == 0
             ? 0
             : 1;
}

std::optional<std::string> GetElementText(const kel::XmlDocument& doc, const char* tag) {
  kel::XmlNode element = kel::XmlFindFirst(doc.DocumentNode(), tag);
  if (!element) return std::nullopt;
  return std::string(kel::XmlFirstChildText(element));
}

std::string ResolveLogDirectory(const ServiceSettings& settings) {
  if (settings.logDirectory) {
    std::string dir = *settings.logDirectory;
    for (char& c : dir)
      if (c == '\\') c = '/';
    if (IsSafeLogDirectory(dir)) return dir;
  }
  if (const char* env = getenv("KELSVCM_LOG_DIR")) {
    std::string dir(env);
    if (IsSafeLogDirectory(dir)) return dir;
  }
  return BaseDirPath();
}

int LoadSettings() {
  std::string path = SettingsFilePath();
  ServiceSettings& s = g_serviceSettings;
  s = ServiceSettings{};
  s.lockLegacyPort = g_osDefaults.lockLegacyPort;
  s.rotateLogs = g_osDefaults.rotateLogs;

  WriteDefaultSettings(false);
  std::unique_ptr<kel::XmlDocument> doc = kel::XmlDocument::Load(path.c_str());
  if (!doc) {
    WriteDefaultSettings(true);
    ServiceLog(0,
               "Configuration file is corrupted or missing, a default configuration file has been generated for "
               "you for proper startup,you have to reset the configuration to your desired settings.");
    doc = kel::XmlDocument::Load(path.c_str());
    if (!doc) return 1;
  }
  auto text = [&](const char* tag) { return GetElementText(*doc, tag); };

  if (IsTrue(text("ip-restricted-logins"))) {
    s.restrictLogins = true;
    s.includeList = text("ip-restricted-include");
    s.excludeList = text("ip-restricted-exclude");
  }
  if (auto binding = text("ip-binding")) {
    s.bindListedNetworks = IsTrue(binding);
    s.bindingList = text("ip-binding-list");
  }

  BuildBindAddressList(s);

  switch (SingleDigit(text("lock-ports"))) {
    case 1: s.lockLegacyPort = true; break;
    case 2: s.lockLegacyPort = false; break;
    default: break;
  }
  switch (SingleDigit(text("monitor-ip-changes"))) {
    case 0: s.monitorAddressChanges = false; break;
    case 1: s.monitorAddressChanges = true; break;
    default: break;
  }
  switch (SingleDigit(text("rotate-logs"))) {
    case 1: s.rotateLogs = true; break;
    case 2: s.rotateLogs = false; break;
    default: break;
  }
  if (IsTrue(text("win32-disable-acceptex"))) s.disableAcceptEx = true;
  s.logDirectory = text("log-base-dir");
  if (IsFalse(text("disable-sslv2"))) s.sslv2Disabled = false;

  if (auto threads = text("max-threads")) {
    int n = atoi(threads->c_str());
    if (n < kMinThreads || n > kMaxThreads) {
      ServiceLog(0, "max-threads in XML file is outside of allowed bounds, using default value.");
      n = kDefaultMaxThreads;
    }
    s.maxThreads = n;
  }

  // A container that would not stay up stays out until a restart is asked for.
  bool tomcatLoaded = PrepareServletContainer() && !ServletContainerHeldBack();

  if (auto level = text("log-level")) {
    s.logLevel = "error";
    for (const char* word : kLogLevels)
      if (strcasecmp(level->c_str(), word) == 0) s.logLevel = word;
  }

  int result = GenerateServerConfig(tomcatLoaded);

  s.bindAddresses.clear();
  doc.reset();
  WritePhpIni();
  ProtectPath(path.c_str(), kWorkerFileMode, KelOwner::kWorkers);
  return result;
}
