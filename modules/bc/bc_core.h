// The legacy agent module's core: the ACL file, the legacy cookie, status
// reports, the probes of the agent ports and the map file. It uses APR and
// the settings module's exports but no web-server call, so the unit tests
// link it as it is; the module's glue gives it a log sink.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>
#include <vector>

#include "apr_pools.h"
#include "apr_thread_rwlock.h"
#include "kel_config.h"
#include "kel_host.h"

// ---- Configuration record and locks -------------------------------------

constexpr size_t kOrvHashSize = 512;

// One per virtual server, zeroed from the configuration pool.
struct KelBcServerConfig {
  char orvAnonymousHash[kOrvHashSize];
  char orvUserHash[kOrvHashSize];
  char orvOperatorHash[kOrvHashSize];
  char orvAdministratorHash[kOrvHashSize];
  server_rec* server;
  apr_pool_t* pool;
};

// Made anew at every configuration read, before any request thread exists.
// vexo serialises discoveries (cookie building needs no lock: it reads only
// the hashes, fixed at configuration time).
struct BcLocks {
  apr_thread_rwlock_t* vexo;
  apr_thread_rwlock_t* navFile;
  apr_thread_rwlock_t* helpFiles;
  apr_thread_rwlock_t* iniFile;
};
extern BcLocks g_bcLocks;
// false when a lock could not be made (the old ones are then kept).
bool CreateBcLocks(apr_pool_t* pool);

// ---- Logging ---------------------------------------------------------------

enum class BcLogKind {
  kDebug,       // the web server's error log, error level, only with debug category 8
  kDebugOrv,    // the same, only with debug category 256 (INI files and the merged help)
  kAlways,      // the web server's error log, its most severe level, always
  kDiagnostic,  // the portal's diagnostic log (LogOutput, severity 2)
};

// Where kDebug and kAlways lines go: the module points it at the error log
// (context is the server record); tests collect the lines.
struct BcLogSink {
  void (*write)(void* context, BcLogKind kind, const char* text) = nullptr;
  void* context = nullptr;
};

// Writes one line now: kDebug and kDebugOrv only when their category is on.
void BcLog(const BcLogSink& sink, BcLogKind kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
std::string BcFormat(const char* format, va_list args);
std::string BcPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- ACL file and cookie ---------------------------------------------------

// Reads DRKVEXD.ACL of the WBEM directory into the four hash slots: 1 on
// success or when there is no file, 0 when the file is unusable.
int getOrvACL(apr_pool_t* temp, KelBcServerConfig* config, const BcLogSink& log);
// The same for the file's bytes: 1 when they begin with the header, 0
// otherwise (nothing is taken then).
int ParseOrvAcl(const char* data, size_t size, KelBcServerConfig* config, const BcLogSink& log);

// The 32 upper-case hex digits of text's MD5 digest.
std::string OrvDigestHex(const std::string& text);
// "Dornik-VEXD=" and the 104-character value for the level note (null: none).
std::string OrvCookieFor(const KelBcServerConfig* config, const char* levelNote);
// The text of "Dornik-WBEM-UserName" for the level note: "invalid" for a
// level outside 1 to 4 (0, 12, -1), since it names no group.
const char* OrvUserNameFor(const char* levelNote);
// 1 administrator, 2 operator, 0 otherwise.
int OrvAuthUserWith(const KelBcServerConfig* config, const char* user, const char* password);

// ---- Discovery -------------------------------------------------------------

constexpr int kVexoFreePortsStop = 20;

// What discovery needs from the web server and the settings module.
struct BcDiscoveryHost {
  virtual ~BcDiscoveryHost() = default;
  // The setting "lock-ports" as text, or null.
  virtual const char* LockPorts() = 0;
  // AddSingleWebApp.
  virtual int Register(WebApp* app) = 0;
  BcLogSink log;
  std::string mapPath;  // conf/vexolist.map
  std::string baseDir;  // where the portal's own pages are (names an agent may not take)
};

// The waits of the serial protocol: each is the longest a reply is waited
// for; a reply that is provably complete ends its wait at once.
struct BcWaits {
  int statusMs = 2000;
  int retryExtraMs = 2000;
  int reloadMs = 1000;
  int lookupMs = 1500;
};

// The whole scan of the agent ports, the map file and the registrations.
// Returns the status of the last socket operation.
int DiscoverVexos(BcDiscoveryHost& host, const BcWaits& waits = BcWaits());

// A deferred step of one port's probe, replayed in port order so that the
// log, the map file and the registry read as the serial scan leaves them.
struct BcStep {
  enum Kind { kLog, kMapLines, kRegister } kind;
  BcLogKind logKind;
  std::string text;      // log text or map lines
  std::vector<WebApp> app;  // kRegister: the record (one)
};
using BcTrace = std::vector<BcStep>;
void BcReplayLog(const BcLogSink& sink, const BcStep& step);
void BcTraceLog(BcTrace* trace, BcLogKind kind, const char* format, ...) __attribute__((format(printf, 3, 4)));

// The three map lines for an agent: as named, lower case, upper case.
std::string VexoMapLines(const char* name, int port);
// A name that can stand as a map key: letters, digits, "-", ".", "_", "~",
// not "." or "..", and not the first path segment of the portal's own
// pages (the module URIs, or an entry of the document roots under baseDir).
bool VexoNameIsMapKey(const char* name, const std::string& baseDir);

// Fills app from a status report's agent entry (the second ISAPIExtension
// field on); false when there is no usable entry.
bool ParseVexoReport(const char* report, int port, WebApp* app, BcTrace* trace);
// The directories of the ExtensionBase lookup's reply body.
void ApplyExtensionBase(const char* body, WebApp* app);
