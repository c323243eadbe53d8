#include "cfg_settings.h"

#include <apr_strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "cfg_groups.h"
#include "kel_config.h"
#include "cfg_locks.h"
#include "kel_dirs.h"
#include "kel_text.h"
#include "kel_svcctl.h"
#include "kel_xml.h"

KelLocks g_kelLocks;
KelConfigServerConfig* g_currentConfig = nullptr;

namespace {

// Names and keywords are equal when they differ only in case or white space.
bool Same(const char* a, const char* b) { return apr_strnatcasecmp(a, b) == 0; }

bool HasNonAscii(const char* s) {
  for (; *s; ++s)
    if (static_cast<unsigned char>(*s) > 127) return true;
  return false;
}

void StoreText(KelSetting* s, const char* value) {
  memset(s->value, 0, s->maxLength + 1);
  apr_cpystrn(s->value, value, s->maxLength + 1);
}

void StoreInt(KelSetting* s, int32_t v) {
  memset(s->value, 0, s->maxLength + 1);
  memcpy(s->value, &v, sizeof v);
}

int32_t StoredInt(const KelSetting* s) {
  int32_t v;
  memcpy(&v, s->value, sizeof v);
  return v;
}

void ReplaceCommas(char* value) {
  for (char* p = value; *p; ++p)
    if (*p == ',') *p = ';';
}

// The ";" separated entries of a list: one trailing separator is allowed,
// an empty entry elsewhere is not. False for such an empty entry.
bool ListEntries(const char* value, std::vector<std::string>* entries) {
  std::string text(value);
  if (text.empty()) return true;
  if (text.back() == ';') text.pop_back();
  size_t start = 0;
  for (;;) {
    size_t semi = text.find(';', start);
    std::string entry = text.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
    if (entry.empty()) return false;
    entries->push_back(entry);
    if (semi == std::string::npos) return true;
    start = semi + 1;
  }
}

// A number written exactly as its decimal form, 0 to 255.
bool Octet(const char* text, int* out) {
  size_t len = strlen(text);
  if (len == 0 || len > 3 || (len > 1 && text[0] == '0')) return false;
  for (const char* p = text; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  int v = atoi(text);
  if (v > 255) return false;
  *out = v;
  return true;
}

// Four octets matched against the pattern, the whole text consumed.
bool Address(const char* text, int octets[4], const char* rest = "") {
  char a[4][4];
  int used = -1;
  std::string format = std::string("%3[0123456789].%3[0123456789].%3[0123456789].%3[0123456789]%n");
  if (sscanf(text, format.c_str(), a[0], a[1], a[2], a[3], &used) != 4 || used < 0) return false;
  if (strcmp(text + used, rest) != 0) return false;
  for (int i = 0; i < 4; ++i)
    if (!Octet(a[i], &octets[i])) return false;
  return true;
}

// The rules. Each logs its own message for a refused value.

int ValidateGroupList(KelSetting* s, char* value, int store) {
  bool valid = static_cast<int>(strlen(value)) <= s->maxLength;
  // Every name is looked at, even after a fault.
  for (const std::string& name : SplitList(value, ';')) {
    if (name.empty()) continue;
    if (HasNonAscii(name.c_str())) {
      LogOutput(1, "User group [%s] contains a non-ASCII character and failed validation", name.c_str());
      valid = false;
    } else if (!KelGroupExists(name.c_str())) {
      // Only a warning: the group may be made later.
      LogOutput(1, "User group [%s] could not be verified to exist by the operating system", name.c_str());
    }
  }
  if (!valid) {
    LogOutput(2, "UserGroup \"%s\" is not valid, please reset the value\n", value);
    return 0;
  }
  if (store) StoreText(s, value);
  return 1;
}

int ValidateBoolean(KelSetting* s, char* value, int store) {
  int v;
  if (Same(value, "True"))
    v = 1;
  else if (Same(value, "False"))
    v = 0;
  else {
    LogOutput(2, "Boolean value \"%s\" is not valid, please reset the Boolean value\n", value);
    return 0;
  }
  if (store) StoreInt(s, v);
  return 1;
}

int ValidateLocalAccessType(KelSetting* s, char* value, int store) {
  if (!Same(value, "Administrator") && !Same(value, "Anonymous")) {
    LogOutput(2, "LocalAccessType value \"%s\" is not valid, please reset the value\n", value);
    return 0;
  }
  if (store) StoreText(s, value);
  return 1;
}

int ValidateTrustMode(KelSetting* s, char* value, int store) {
  if (!Same(value, "TrustByCert") && !Same(value, "TrustByName") && !Same(value, "TrustByAll")) {
    LogOutput(2, "TrustMode value \"%s\" is not valid, please reset the value\n", value);
    return 0;
  }
  if (store) StoreText(s, value);
  return 1;
}

bool ServerNamesValid(const char* value) {
  static const char kForbidden[] = "~'!@#$%^&*()+=:<>?,|\"";
  if (strlen(value) > 1024) return false;
  const char* p = value;
  for (;;) {
    const char* end = strchr(p, ';');
    size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    if (len == 0) return end == nullptr;  // only the last name may be empty
    if (len > 64) return false;
    for (size_t i = 0; i < len; ++i) {
      unsigned char c = static_cast<unsigned char>(p[i]);
      if (c > 127 || strchr(kForbidden, c)) return false;
    }
    if (!end) return true;
    p = end + 1;
  }
}

int ValidateServerNames(KelSetting* s, char* value, int store) {
  ReplaceCommas(value);
  if (!ServerNamesValid(value)) {
    LogOutput(2, "ZQName value \"%s\" is not valid, please reset the value.\n", value);
    return 0;
  }
  if (store) StoreText(s, value);
  return 1;
}

bool RestrictionListValid(const KelSetting* s, const char* value) {
  if (static_cast<int>(strlen(value)) > s->maxLength) return false;
  if (strspn(value, "0123456789.-;") != strlen(value)) return false;
  std::vector<std::string> entries;
  if (!ListEntries(value, &entries)) return false;
  for (const std::string& e : entries) {
    int a[4], b[4];
    size_t dash = e.find('-');
    if (dash == std::string::npos) {
      if (!Address(e.c_str(), a)) return false;
      continue;
    }
    std::string start = e.substr(0, dash), end = e.substr(dash + 1);
    if (!Address(start.c_str(), a) || !Address(end.c_str(), b)) return false;
    for (int i = 0; i < 4; ++i) {
      if (a[i] < b[i]) break;
      if (a[i] > b[i]) return false;
    }
  }
  return true;
}

int ValidateRestrictionList(KelSetting* s, char* value, int store) {
  if (strspn(value, "0123456789.-;,") == strlen(value)) ReplaceCommas(value);
  if (!RestrictionListValid(s, value)) {
    LogOutput(2, "IpRestriction value \"%s\" is not valid, please reset the value.\n", value);
    return 0;
  }
  if (store) StoreText(s, value);
  return 1;
}

bool BindingListValid(const KelSetting* s, const char* value) {
  if (static_cast<int>(strlen(value)) > s->maxLength) return false;
  std::vector<std::string> entries;
  if (!ListEntries(value, &entries) || entries.size() > 5) return false;
  for (const std::string& e : entries) {
    size_t slash = e.find('/');
    int a[4], m[4];
    if (slash == std::string::npos || !Address(e.substr(0, slash).c_str(), a) ||
        !Address(e.substr(slash + 1).c_str(), m))
      return false;
    if (m[0] < 128) return false;
    uint32_t mask = (uint32_t(m[0]) << 24) | (uint32_t(m[1]) << 16) | (uint32_t(m[2]) << 8) | uint32_t(m[3]);
    // Contiguous: no 1 bit after a 0 bit, so the inverse is 0...01...1.
    uint32_t inverted = ~mask;
    if ((inverted & (inverted + 1)) != 0) return false;
  }
  return true;
}

int ValidateBindingList(KelSetting* s, char* value, int store) {
  if (!BindingListValid(s, value)) {
    LogOutput(2, "IpBindingList value \"%s\" is not valid, please reset the value.\n", value);
    return 0;
  }
  if (store) StoreText(s, value);
  return 1;
}

int ValidateLockPorts(KelSetting* s, char* value, int store) {
  if (strlen(value) != 1 || !strchr("012", value[0])) return 0;
  if (store) StoreText(s, value);
  return 1;
}

// 1 to maxChars characters whose leading digits give a number in range.
bool NumberInRange(const char* value, size_t maxChars, int low, int high) {
  size_t len = strlen(value);
  if (len < 1 || len > maxChars) return false;
  int n = atoi(value);
  return n >= low && n <= high;
}

int ValidateSessionTimeout(KelSetting* s, char* value, int store) {
  if (!NumberInRange(value, 2, 1, 60)) return 0;
  if (store) StoreText(s, value);
  return 1;
}

int ValidateSessionMaximum(KelSetting* s, char* value, int store) {
  if (!NumberInRange(value, 3, 32, 500)) return 0;
  if (store) StoreText(s, value);
  return 1;
}

int ValidateUiTimeout(KelSetting* s, char* value, int store) {
  if (!NumberInRange(value, 4, 10, 3600)) return 0;
  if (store) StoreInt(s, atoi(value));
  return 1;
}

void TextOf(const KelSetting* s, char* out, size_t size) { apr_cpystrn(out, s->value, size); }
void BooleanTextOf(const KelSetting* s, char* out, size_t size) {
  apr_cpystrn(out, StoredInt(s) == 1 ? "True" : "False", size);
}
void NumberTextOf(const KelSetting* s, char* out, size_t size) { snprintf(out, size, "%d", StoredInt(s)); }

std::string ScriptName(const KelSetting* s) {
  std::string name = s->name;
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

std::string TextScript(const KelSetting* s) {
  std::string out = ScriptName(s) + "=\"";
  for (const char* p = s->value; *p; ++p) {
    if (*p == '"' || *p == '\\') out += '\\';
    out += *p;
  }
  return out + "\";\n";
}

std::string NumberScript(const KelSetting* s) {
  return ScriptName(s) + "=" + std::to_string(StoredInt(s)) + ";\n";
}

enum class Form { kText, kNumber, kNone };
enum class Kind { kText, kBoolean, kNumber };

struct Definition {
  const char* name;
  int (*validate)(KelSetting*, char*, int);
  Kind kind;
  const char* defaultValue;
  int maxLength;
  bool restart;
  Form form;
};

// The settings, in the order the module keeps them.
constexpr Definition kDefinitions[] = {
    {"admin-group", ValidateGroupList, Kind::kText, "", 1284, false, Form::kText},
    {"operator-group", ValidateGroupList, Kind::kText, "", 1284, false, Form::kText},
    {"user-group", ValidateGroupList, Kind::kText, "", 1284, false, Form::kText},
    {"allow-default-os-admin", ValidateBoolean, Kind::kBoolean, "True", 32, false, Form::kNumber},
    {"reject-prog-admin-login", ValidateBoolean, Kind::kBoolean, "True", 32, false, Form::kNumber},
    {"allow-old-style-login", ValidateBoolean, Kind::kBoolean, "True", 32, false, Form::kNumber},
    {"anonymous-access", ValidateBoolean, Kind::kBoolean, "False", 32, false, Form::kNumber},
    {"localaccess-enabled", ValidateBoolean, Kind::kBoolean, "False", 32, false, Form::kNumber},
    {"localaccess-type", ValidateLocalAccessType, Kind::kText, "Anonymous", 32, false, Form::kText},
    {"trustmode", ValidateTrustMode, Kind::kText, "TrustByCert", 32, false, Form::kText},
    {"zqnamelist", ValidateServerNames, Kind::kText, "", 1024, false, Form::kText},
    {"ip-restricted-logins", ValidateBoolean, Kind::kBoolean, "False", 32, true, Form::kNumber},
    {"ip-restricted-include", ValidateRestrictionList, Kind::kText, "", 1025, true, Form::kText},
    {"ip-restricted-exclude", ValidateRestrictionList, Kind::kText, "", 1025, true, Form::kText},
    {"lock-ports", ValidateLockPorts, Kind::kText, "0", 2, false, Form::kNone},
    {"session-timeout", ValidateSessionTimeout, Kind::kText, "15", 3, false, Form::kNone},
    {"session-maximum", ValidateSessionMaximum, Kind::kText, "128", 4, false, Form::kNone},
    {"ip-binding", ValidateBoolean, Kind::kBoolean, "False", 32, true, Form::kNumber},
    {"ip-binding-list", ValidateBindingList, Kind::kText, "", 1025, true, Form::kText},
    {"win32-disable-acceptex", ValidateBoolean, Kind::kBoolean, "False", 32, true, Form::kNumber},
    {"disable-sslv2", ValidateBoolean, Kind::kBoolean, "True", 32, true, Form::kNumber},
    {"ui-timeout", ValidateUiTimeout, Kind::kNumber, "20", 32, true, Form::kNumber},
};

// The order in which the settings file is read.
constexpr const char* kReadOrder[] = {
    "admin-group",          "operator-group",         "user-group",          "allow-default-os-admin",
    "anonymous-access",     "localaccess-enabled",    "localaccess-type",    "ip-restricted-logins",
    "ip-restricted-exclude", "ip-restricted-include", "ip-binding",          "ip-binding-list",
    "trustmode",            "zqnamelist",             "lock-ports",          "session-timeout",
    "session-maximum",      "reject-prog-admin-login", "allow-old-style-login", "win32-disable-acceptex",
    "disable-sslv2",        "ui-timeout",
};

std::string DefaultText(const KelSetting* s) {
  char buf[64];
  s->getText(s, buf, sizeof buf);
  return buf;
}

}  // namespace

bool CreateKelLocks(apr_pool_t* pool) {
  apr_thread_rwlock_t** order[] = {&g_kelLocks.settingsLock, &g_kelLocks.webAppLock,
                                   &g_kelLocks.groupConfigLock, &g_kelLocks.groupConfigListLock,
                                   &g_kelLocks.certLock,        &g_kelLocks.certViewLock,
                                   &g_kelLocks.rawCertLock,     &g_kelLocks.logLock};
  for (apr_thread_rwlock_t** lock : order)
    if (apr_thread_rwlock_create(lock, pool) != APR_SUCCESS) return false;
  return true;
}

KelConfigServerConfig* CreateKelConfig(apr_pool_t* pool, void (*onDefaultFailed)(const char*)) {
  auto* config = static_cast<KelConfigServerConfig*>(apr_pcalloc(pool, sizeof(KelConfigServerConfig)));
  config->pool = pool;
  config->webApps = apr_array_make(pool, 20, sizeof(WebApp));
  config->settings = apr_array_make(pool, 20, sizeof(KelSetting));
  config->trustedCerts = apr_array_make(pool, 10, sizeof(TrustedCert));
  config->starMaps = apr_table_make(pool, 10);
  config->doubleStarMaps = apr_table_make(pool, 10);
  config->exactMaps = apr_table_make(pool, 10);
  for (const Definition& d : kDefinitions) {
    auto* s = static_cast<KelSetting*>(apr_array_push(config->settings));
    memset(s, 0, sizeof *s);
    apr_cpystrn(s->name, d.name, sizeof s->name);
    s->maxLength = d.maxLength;
    s->value = static_cast<char*>(apr_pcalloc(pool, d.maxLength + 1));
    s->restartRequired = d.restart ? 1 : 0;
    s->getText = d.kind == Kind::kText ? TextOf : d.kind == Kind::kBoolean ? BooleanTextOf : NumberTextOf;
    s->printScript = d.form == Form::kText ? TextScript : d.form == Form::kNumber ? NumberScript : nullptr;
    s->validate = d.validate;
    char* text = apr_pstrdup(pool, d.defaultValue);
    if (!s->validate(s, text, 1) && onDefaultFailed) onDefaultFailed(d.name);
  }
  g_currentConfig = config;
  return config;
}

KelSetting* FindSetting(KelConfigServerConfig* config, const char* name) {
  if (!config || !name) return nullptr;
  auto* all = reinterpret_cast<KelSetting*>(config->settings->elts);
  for (int i = 0; i < config->settings->nelts; ++i)
    if (Same(all[i].name, name)) return &all[i];
  return nullptr;
}

std::string KelSettingsFilePath() {
  char write[kKelPathMax];
  GetWriteDir(write, sizeof write);
  return std::string(write) + "/conf/kelpd.xml";
}

int WriteSettingToFile(kel::XmlDocument* doc, const char* path, const char* name, const char* value) {
  if (!doc || !path || !name || !value) return 0;
  kel::XmlNode element = kel::XmlFindFirst(doc->DocumentNode(), name);
  if (element)
    doc->SetText(element, value);
  else
    doc->AppendElement(doc->Root(), name, value);
  return doc->Save(path) == 0 ? 1 : 0;
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
    if (copy) WriteSettingToFile(copy.get(), path.c_str(), name, DefaultText(s).c_str());
  }
}

char* GetSettingText(apr_pool_t* pool, const char* name) {
  KelSetting* s = FindSetting(g_currentConfig, name);
  if (!s) return nullptr;
  char* out = static_cast<char*>(apr_pcalloc(pool, s->maxLength + 1));
  s->getText(s, out, s->maxLength + 1);
  return out;
}

char* GetConfigValue(apr_pool_t* pool, KelConfigServerConfig* config, const char* name) {
  if (!pool || !name) return nullptr;
  KelLockHold hold(g_kelLocks.settingsLock, false);
  KelSetting* s = FindSetting(config, name);
  if (!s) return nullptr;
  // One byte more than maxLength, so a text of maxLength characters
  // is still terminated.
  char* copy = static_cast<char*>(apr_pcalloc(pool, s->maxLength + 1));
  memcpy(copy, s->value, s->maxLength);
  return copy;
}

int SetConfigValue(KelConfigServerConfig* config, const char* name, const char* value) {
  if (!name || !value) return 0;
  int valid = 0;
  bool restart = false;
  {
    KelLockHold hold(g_kelLocks.settingsLock, true);
    KelSetting* s = FindSetting(config, name);
    if (!s) return 0;
    restart = s->restartRequired != 0;
    std::string text = value;
    valid = s->validate(s, text.data(), 1);
    if (valid) {
      std::string path = KelSettingsFilePath();
      std::unique_ptr<kel::XmlDocument> doc = kel::XmlDocument::Load(path.c_str());
      valid = doc && WriteSettingToFile(doc.get(), path.c_str(), s->name, text.c_str()) ? 1 : 0;
    }
  }
  if (!restart) return valid;
  // Asked whether or not the value was taken.
  int restarted = RequestServiceRestart();
  return valid && restarted ? 1 : 0;
}
