// The settings model: the 22 settings with their text and script forms,
// the module's configuration record and its locks. The rules are in
// cfg_rules, the settings file in cfg_settings_file.
#pragma once

#include <apr_pools.h>
#include <apr_tables.h>
#include <apr_thread_rwlock.h>

#include <cstddef>
#include <string>
#include <vector>

struct KelSetting {
  char name[64];
  char* value;  // maxLength + 1 bytes: a text, or a 32-bit integer at its start
  int maxLength;
  int restartRequired;
  // The value's text form.
  void (*getText)(const KelSetting* setting, char* out, size_t size);
  // The JavaScript assignment of the value; null for the three settings the
  // pages do not show.
  std::string (*printScript)(const KelSetting* setting);
  // 1 when the value is acceptable (then stored when store is 1). May
  // rewrite the caller's text ("," to ";" in lists).
  int (*validate)(KelSetting* setting, char* value, int store);
};

struct WebApp;

// The module's configuration record.
struct KelConfigServerConfig {
  apr_pool_t* pool;              // the configuration pool, for the registry's growth
  apr_array_header_t* webApps;   // of WebApp, in registration order
  apr_array_header_t* settings;  // of KelSetting, in the definition order
  apr_array_header_t* trustedCerts;  // of TrustedCert
  apr_table_t* starMaps;         // application name -> target
  apr_table_t* doubleStarMaps;   // application name -> target
  apr_table_t* exactMaps;        // URL -> target
  int anyMap, starMapSeen, doubleStarMapSeen, exactMapSeen;
};

// The module-wide reader/writer locks, created in this order.
struct KelLocks {
  apr_thread_rwlock_t* settingsLock;
  apr_thread_rwlock_t* webAppLock;
  apr_thread_rwlock_t* groupConfigLock;
  apr_thread_rwlock_t* groupConfigListLock;
  apr_thread_rwlock_t* certLock;
  apr_thread_rwlock_t* certViewLock;
  apr_thread_rwlock_t* rawCertLock;
  apr_thread_rwlock_t* logLock;
  // One change of the settings at a time (file, certificates and memory);
  // settingsLock is then taken only for the moment memory changes, so
  // readers never wait for a writer's files.
  apr_thread_rwlock_t* batchLock;
};
extern KelLocks g_kelLocks;
// The configuration most recently created.
extern KelConfigServerConfig* g_currentConfig;

// Creates the nine locks; false when one cannot be made.
bool CreateKelLocks(apr_pool_t* pool);
// A configuration with every setting at its default. Reports a default that
// its own rule refuses through onDefaultFailed.
KelConfigServerConfig* CreateKelConfig(apr_pool_t* pool, void (*onDefaultFailed)(const char* name));

KelSetting* FindSetting(KelConfigServerConfig* config, const char* name);

// The text form of a setting of the current configuration, from pool;
// null when there is no such setting. Takes no lock.
char* GetSettingText(apr_pool_t* pool, const char* name);
// Validates value for s as its validate would with the store flag, but
// into a copy: s keeps its value; on success stored holds the bytes to put
// in place later. The rule may rewrite text (as validate rewrites its
// caller's text).
bool CheckSettingValue(KelSetting* s, std::string* text, std::vector<char>* stored);
void PutSettingValue(KelSetting* s, const std::vector<char>& stored);

// The exported accessors over a configuration.
char* GetConfigValue(apr_pool_t* pool, KelConfigServerConfig* config, const char* name);
