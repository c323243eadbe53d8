#include "cfg_settings.h"

#include <apr_strings.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cfg_locks.h"
#include "cfg_rules.h"
#include "kel_config.h"
#include "kel_text.h"

KelLocks g_kelLocks;
KelConfigServerConfig* g_currentConfig = nullptr;

namespace {

// Names and keywords are equal when they differ only in case or white space.
bool Same(const char* a, const char* b) { return apr_strnatcasecmp(a, b) == 0; }

int32_t StoredInt(const KelSetting* s) {
  int32_t v;
  memcpy(&v, s->value, sizeof v);
  return v;
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
  // The page evaluates this text: the value must stay inside its string.
  return ScriptName(s) + "=\"" + JsStringEscape(s->value) + "\";\n";
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

// What every setting's validate is: the shared rule, then the setting's own.
int CheckedValidate(KelSetting* s, char* value, int store) {
  if (!ValueHasNoControlCharacter(s->name, value)) return 0;
  for (const Definition& d : kDefinitions)
    if (strcmp(d.name, s->name) == 0) return d.validate(s, value, store);
  return 0;
}

}  // namespace

bool CreateKelLocks(apr_pool_t* pool) {
  apr_thread_rwlock_t** order[] = {&g_kelLocks.settingsLock, &g_kelLocks.webAppLock,
                                   &g_kelLocks.groupConfigLock, &g_kelLocks.groupConfigListLock,
                                   &g_kelLocks.certLock,        &g_kelLocks.certViewLock,
                                   &g_kelLocks.rawCertLock,     &g_kelLocks.logLock,
                                   &g_kelLocks.batchLock};
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
    s->validate = CheckedValidate;
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

bool CheckSettingValue(KelSetting* s, std::string* text, std::vector<char>* stored) {
  std::vector<char> scratch(s->value, s->value + s->maxLength + 1);
  KelSetting copy = *s;
  copy.value = scratch.data();
  text->push_back('\0');
  bool valid = copy.validate(&copy, text->data(), 1) != 0;
  text->resize(strlen(text->c_str()));  // the rule may have rewritten it
  if (valid) stored->swap(scratch);
  return valid;
}

void PutSettingValue(KelSetting* s, const std::vector<char>& stored) {
  memcpy(s->value, stored.data(), static_cast<size_t>(s->maxLength) + 1);
}
