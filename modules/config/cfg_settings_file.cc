#include "cfg_settings_file.h"

#include <memory>
#include <vector>

#include "cfg_locks.h"
#include "kel_config.h"
#include "kel_dirs.h"
#include "kel_svcctl.h"
#include "kel_xml.h"

namespace {

// The order in which the settings file is read.
constexpr const char* kReadOrder[] = {
    "admin-group",          "operator-group",         "user-group",          "allow-default-os-admin",
    "anonymous-access",     "localaccess-enabled",    "localaccess-type",    "ip-restricted-logins",
    "ip-restricted-exclude", "ip-restricted-include", "ip-binding",          "ip-binding-list",
    "trustmode",            "zqnamelist",             "lock-ports",          "session-timeout",
    "session-maximum",      "reject-prog-admin-login", "allow-old-style-login", "win32-disable-acceptex",
    "disable-sslv2",        "ui-timeout",
};

std::string CurrentText(const KelSetting* s) {
  std::vector<char> buf(s->maxLength + 1);
  s->getText(s, buf.data(), buf.size());
  return buf.data();
}

}  // namespace

std::string KelSettingsFilePath() { return KelSharedPath(KelShared::kSettingsFile); }

void SetSettingElement(kel::XmlDocument* doc, const char* name, const char* value) {
  kel::XmlNode element = kel::XmlFindFirst(doc->DocumentNode(), name);
  if (element)
    doc->SetText(element, value);
  else
    doc->AppendElement(doc->Root(), name, value);
}

bool SaveSettingsFile(const kel::XmlDocument& doc, const std::string& path) {
  if (doc.Save(path.c_str()) == 0) return true;
  LogOutput(2, "Saving the KEL configuration file %s failed; the settings stay as they were.", path.c_str());
  return false;
}

int WriteSettingToFile(kel::XmlDocument* doc, const char* path, const char* name, const char* value) {
  if (!doc || !path || !name || !value) return 0;
  SetSettingElement(doc, name, value);
  return SaveSettingsFile(*doc, path) ? 1 : 0;
}

void ReadSettingsFile(KelConfigServerConfig* config) {
  std::string path = KelSettingsFilePath();
  std::unique_ptr<kel::XmlDocument> doc = kel::XmlDocument::Load(path.c_str());
  if (!doc) {
    LogOutput(3, "Failed to parse the KEL configuration file %s.", path.c_str());
    return;
  }
  KelLockHold hold(g_kelLocks.settingsLock, true);
  for (const char* name : kReadOrder) {
    kel::XmlNode element = kel::XmlFindFirst(doc->DocumentNode(), name);
    KelSetting* s = FindSetting(config, name);
    if (!element || !s) continue;
    std::string text = kel::XmlFirstChildText(element);
    if (s->validate(s, text.data(), 1)) continue;
    // The default stays; the file gets it back.
    std::unique_ptr<kel::XmlDocument> copy = kel::XmlDocument::Load(path.c_str());
    if (copy) WriteSettingToFile(copy.get(), path.c_str(), name, CurrentText(s).c_str());
  }
}

int SetConfigValue(KelConfigServerConfig* config, const char* name, const char* value) {
  if (!name || !value) return 0;
  int valid = 0;
  bool restart = false;
  {
    // Values change only under the batch lock: they are read here without
    // the settings lock, which is taken for the change alone.
    KelLockHold turn(g_kelLocks.batchLock, true);
    KelSetting* s = FindSetting(config, name);
    if (!s) return 0;
    restart = s->restartRequired != 0;
    std::string text = value;
    std::vector<char> stored;
    if (CheckSettingValue(s, &text, &stored)) {
      std::string path = KelSettingsFilePath();
      std::unique_ptr<kel::XmlDocument> doc = kel::XmlDocument::Load(path.c_str());
      // Memory follows the file: a value that could not be saved is not taken.
      if (doc && WriteSettingToFile(doc.get(), path.c_str(), s->name, text.c_str())) {
        KelLockHold hold(g_kelLocks.settingsLock, true);
        PutSettingValue(s, stored);
        valid = 1;
      }
    }
  }
  if (!restart) return valid;
  // Asked whether or not the value was taken.
  int restarted = RequestServiceRestart();
  return valid && restarted ? 1 : 0;
}
