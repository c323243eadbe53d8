// Settings in batches (the settings page, group configuration), the legacy
// agents' INI mirror and their reload notice.
#pragma once

#include <apr_pools.h>
#include <apr_tables.h>

#include <string>

#include "cfg_settings.h"

constexpr int kBatchStore = 1;         // accepted values go into memory
constexpr int kBatchWrite = 2;         // ... and into the settings file
constexpr int kBatchGroupConfig = 16;  // certificates under group-configuration names, no purge

// Validates every pair of the batch (in insertion order), certificates
// included, and only when all of them are acceptable writes the values
// into the settings file (one replacement), then imports the certificates
// (replacing the listed ones unless group configuration), then stores the
// values in memory, as the flags say. A refused batch, or a settings file
// that cannot be read or saved, changes nothing and gives 0. 1 when the
// batch was not empty and everything in it was accepted and stored.
// *restartNeeded is set (never cleared) when a named setting needs a
// restart, accepted or not. Debug lines go to sink.
int SetMultipleKELCfgValue(apr_pool_t* pool, KelConfigServerConfig* config, apr_table_t* batch, int flags,
                           int* restartNeeded, void (*sink)(void* context, const char* line), void* context);

// The form-encoded PEM text as the store takes it: "+CERTIFICATE" spaced,
// every line ended by CR LF, cut where the escaped form passes 4095.
std::string NormaliseCertificateText(const std::string& value);

// drkvexdx.ini and drkvexd.ini under <WBEM>/homepage from the settings.
void WriteLegacyIniMirror(apr_pool_t* pool);
// Rewrites one INI file's [VEXDConfiguration] section with the pairs
// (a pair without a value only removes the key), replacing the file
// atomically. False when nothing was written.
struct IniPair {
  const char* key;
  std::string value;  // "" for none
};
bool RewriteIniSection(const std::string& iniPath, const IniPair* pairs, size_t count);

// "GET /Proxy/ReloadIniFile HTTP/1.0\r\n" and a zero byte to every
// registered legacy agent's port.
void SendReloadNotice(apr_pool_t* pool, KelConfigServerConfig* config);
