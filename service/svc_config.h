// Generation of the web server's configuration and the files beside it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

struct ServiceSettings;

// Bind addresses from the binding settings and the local addresses: every
// local address when binding is off; else 127.0.0.1 and the local addresses
// inside the listed networks. Later duplicates are removed.
std::vector<std::string> BuildBindAddressList(const ServiceSettings& settings,
                                              const std::vector<uint32_t>& localAddresses);
// The same over this host's addresses, stored in settings.bindAddresses.
void BuildBindAddressList(ServiceSettings& settings);

// The "allow from"/"deny from" lines of an IP-restricted configuration.
std::string BuildAccessRules(const char* includeList, const char* excludeList);
// Appends the address part of one rule line (an address or a range a-b).
void AppendRangeRule(std::string& out, const std::string& entry);

// The complete configuration text for the current settings.
std::string RenderServerConfig(bool tomcatLoaded);
// Writes conf/kelpd.conf; 0 on success, 1 when it cannot be written.
int GenerateServerConfig(bool tomcatLoaded);

struct PhpExtension {
  const char* name;
  const char* line;
  bool always;
  bool requested;
};
extern PhpExtension g_phpExtensionTable[4];

// bin/php.ini; 1 when written, 0 when the file cannot be opened.
int WritePhpIni();
// Sets the requested flags from the extension elements of webapp/*.xml.
void ScanPhpExtensions();
// Empties conf/vexolist.map; 0 on success, 1 when it cannot be created.
int ResetLegacyMapFile();
// session/ and session/php under the base directory.
void CreateSessionDirectories();
// The directories the web server's workers write in: conf/ (settings, map
// file), the SSL share directory (the certificate) and data/ (certificate
// requests and import work files) get the sticky bit, so
// that the files root reads there, owned by root, cannot be renamed over or
// removed by the workers; logs/ and certs/ are the group's.
void ProtectWritableDirectories();

// What the root side reads to decide what to run: root writes it alone.
constexpr mode_t kRootReadFileMode = 0640;
// What the workers replace themselves: they own it.
constexpr mode_t kWorkerFileMode = 0660;
// A directory the workers add files to, where only a file's owner (or root)
// may rename over it or remove it.
constexpr mode_t kStickyDirMode = 01770;
constexpr mode_t kWorkerDirMode = 0770;
