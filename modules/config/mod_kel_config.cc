// The settings module: settings, registry, certificates and the diagnostic
// log for the other modules of the portal.
#include "httpd.h"
#include "apr_file_info.h"
#include "apr_strings.h"
#include "http_config.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "cfg_certs.h"
#include "cfg_handlers.h"
#include "cfg_locks.h"
#include "cfg_log.h"
#include "cfg_settings.h"
#include "cfg_settings_file.h"
#include "cfg_webapps.h"
#include "kel_config.h"
#include "kel_module.h"
#include "cfg_routes.h"
#include "kel_guard.h"
#include "kel_dirs.h"
#include "kel_files.h"

#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_config_module;
}
APLOG_USE_MODULE(kel_config);

namespace {

constexpr const char* kHandlerName = kConfigHandlerName;
// Servers on these ports share one configuration.
constexpr apr_port_t kMainPort = 2381;
constexpr apr_port_t kLegacyPort = 2301;

// The URIs this module answers, in the order they are compared.
constexpr KelRoute kRoutes[] = {
    {"/proxy/zqstatusreport", HandleZQStatusReport},
    {"/proxy/kelstatus", HandleKelStatus},
    {"/cimom", HandleCimomAndConfigUi},
    {"/Proxy/configui", HandleCimomAndConfigUi},
    {"/proxy/GetKELData", HandleKelData},
    {"/proxy/SetKELData", HandleKelData},
    {"/proxy/AddZQCert", HandleAddZQCert},
};
constexpr size_t kRouteCount = sizeof kRoutes / sizeof kRoutes[0];

constexpr bool SameText(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}
constexpr bool RoutesAreTheListedUris() {
  if (kRouteCount != kConfigUriCount) return false;
  for (size_t i = 0; i < kRouteCount; ++i)
    if (!SameText(kRoutes[i].uri, kConfigUris[i])) return false;
  return true;
}
static_assert(RoutesAreTheListedUris(), "the dispatch table and cfg_routes.h list the same URIs in one order");

server_rec* g_creatingFor = nullptr;

// At emergency level, as the Windows version reports a failed default.
void DefaultFailed(const char* name) {
  ap_log_error(APLOG_MARK, APLOG_EMERG, 0, g_creatingFor,
               "create_config_server_config: Default initialization failed for %s", name);
}

// A process killed between writing a file's replacement and renaming it
// over the file leaves the replacement behind (the file itself is whole):
// each start of the web server, and of each of its workers, takes away
// those whose writer is gone. The root parent takes any; a worker those of
// its own account, which a worker before it left.
void RemoveInterruptedWrites() {
  for (const std::string& dir : KelReplacedFileDirs())
    RemoveOrphanedStagedFiles(dir.c_str(), [](const std::string& path) {
      LogOutput(1, "Leftover file of an interrupted write removed: %s\n", path.c_str());
    });
}

void ChildInit(apr_pool_t*, server_rec*) {
  try {
    RemoveInterruptedWrites();
  } catch (...) {
    KelCaught("kel_config: ChildInit");
  }
}

void* CreateServerConfig(apr_pool_t* pool, server_rec* s) {
  try {
    if (!CreateKelLocks(pool)) return nullptr;
    SetLogLock(g_kelLocks.logLock);
    if ((s->port == kMainPort || s->port == kLegacyPort) && g_currentConfig) return g_currentConfig;
    g_creatingFor = s;
    KelConfigServerConfig* config = CreateKelConfig(pool, DefaultFailed);
    g_creatingFor = nullptr;
    InitDiagnosticLog();
    RemoveInterruptedWrites();
    ReadSettingsFile(config);
    LoadWebApps(config);
    BuildUrlMaps(config);
    LoadTrustedCerts(pool, config);
    return config;
  } catch (...) {
    KelCaught("kel_config: CreateServerConfig");
    return nullptr;
  }
}

const char* KelConfigDirective(cmd_parms*, void*, const char*) { return nullptr; }

const command_rec kCommands[] = {
    AP_INIT_RAW_ARGS("KELConfig", reinterpret_cast<cmd_func>(reinterpret_cast<void (*)()>(KelConfigDirective)), nullptr,
                     OR_OPTIONS, "kel portal configuration"),
    {nullptr, {nullptr}, nullptr, 0, RAW_ARGS, nullptr},
};

// ApplyUrlMap: the URL maps of the registration files.
int Fixups(request_rec* r) {
  try {
    KelConfigServerConfig* config = ConfigOf(r->server);
    if (!config || !config->anyMap) return DECLINED;
    std::string target = UrlMapTarget(config, r->uri, r->args, r->finfo.filetype != APR_NOFILE);
    if (target.empty()) return DECLINED;
    ap_internal_redirect(apr_pstrdup(r->pool, target.c_str()), r);
    return DONE;
  } catch (...) {
    KelCaught("kel_config: Fixups");
    return DECLINED;
  }
}

int Handler(request_rec* r) {
  try {
    return KelDispatch(r, kHandlerName, kRoutes, kRouteCount);
  } catch (...) {
    KelCaught("kel_config: Handler");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

// For a URL that names no file (every handler URL) the directory walk
// stats each directory from "/" down to find the path info. Those down to
// the document root are the installation's own and the system's: what they
// answered is kept for a second. Nothing below the document root is kept.
constexpr apr_interval_time_t kDirectoryStatFor = apr_time_from_sec(1);
struct KeptStat {
  apr_status_t status;
  apr_int32_t wanted;
  apr_time_t at;
  apr_finfo_t info;
  std::string fname;
};
std::mutex g_keptStatsLock;
std::unordered_map<std::string, KeptStat> g_keptStats;

// path is root or a directory above it.
bool AtOrAboveRoot(const char* path, const char* root) {
  size_t n = strlen(path);
  return n > 0 && strncmp(root, path, n) == 0 && (root[n] == '\0' || root[n] == '/' || path[n - 1] == '/');
}

apr_status_t DirectoryStat(apr_finfo_t* finfo, request_rec* r, apr_int32_t wanted) {
  const char* root = ap_document_root(r);
  if (!r->filename || !root || !AtOrAboveRoot(r->filename, root)) return AP_DECLINED;
  apr_time_t now = apr_time_now();
  {
    std::lock_guard<std::mutex> hold(g_keptStatsLock);
    auto it = g_keptStats.find(r->filename);
    if (it != g_keptStats.end() && it->second.wanted == wanted && now >= it->second.at &&
        now - it->second.at < kDirectoryStatFor) {
      *finfo = it->second.info;
      finfo->pool = r->pool;
      finfo->fname = apr_pstrdup(r->pool, it->second.fname.c_str());
      return it->second.status;
    }
  }
  apr_status_t status = apr_stat(finfo, r->filename, wanted, r->pool);
  if ((status == APR_SUCCESS || status == APR_INCOMPLETE) && finfo->filetype == APR_DIR) {
    KeptStat kept{status, wanted, now, *finfo, finfo->fname ? finfo->fname : ""};
    kept.info.fname = nullptr;
    kept.info.name = nullptr;
    kept.info.filehand = nullptr;
    std::lock_guard<std::mutex> hold(g_keptStatsLock);
    g_keptStats[r->filename] = kept;
  }
  return status;
}

void RegisterHooks(apr_pool_t* pool) {
  // Before mod_dir turns a directory request into its index page.
  static const char* const kBefore[] = {"mod_dir.c", nullptr};
  ap_hook_fixups(Fixups, nullptr, kBefore, APR_HOOK_LAST);
  KelHookHandlerUrlType([](request_rec* r) { return KelTypeOfHandlerUrl(r, kHandlerName); });
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_FIRST);
  ap_hook_child_init(ChildInit, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_dirwalk_stat(DirectoryStat, nullptr, nullptr, APR_HOOK_MIDDLE);
}

}  // namespace

KelConfigServerConfig* ConfigOf(server_rec* s) {
  if (!s) return g_currentConfig;
  auto* c = static_cast<KelConfigServerConfig*>(ap_get_module_config(s->module_config, &kel_config_module));
  return c ? c : g_currentConfig;
}

extern "C" {

KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_config_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, CreateServerConfig, nullptr, kCommands, RegisterHooks,
    AP_MODULE_FLAG_NONE,
};

KEL_CONFIG_EXPORT char* GetKELInternalCfgValue(apr_pool_t* pool, server_rec* server, const char* name) {
  return KelGuard("kel_config: GetKELInternalCfgValue", static_cast<char*>(nullptr),
                  [&] { return GetConfigValue(pool, ConfigOf(server), name); });
}

KEL_CONFIG_EXPORT int SetSingleKELCfgValue(server_rec* server, const char* name, const char* value) {
  return KelGuard("kel_config: SetSingleKELCfgValue", 0, [&] { return SetConfigValue(ConfigOf(server), name, value); });
}

namespace {
// Debug lines at emergency level, as the Windows version wrote them.
void ErrorLogLine(void* server, const char* line) {
  ap_log_error(APLOG_MARK, APLOG_EMERG, 0, static_cast<server_rec*>(server), "%s", line);
}
}  // namespace

KEL_CONFIG_EXPORT int GetWebAppCfgList(apr_pool_t* pool, server_rec* server, WebApp** list) {
  return KelGuard("kel_config: GetWebAppCfgList", 0, [&] { return ListWebApps(pool, ConfigOf(server), list); });
}

KEL_CONFIG_EXPORT int GetTotalNumofWebApps(server_rec* server) {
  return KelGuard("kel_config: GetTotalNumofWebApps", 0, [&] { return CountWebApps(ConfigOf(server)); });
}

KEL_CONFIG_EXPORT WebApp* GetSingleWebAppbyIndex(apr_pool_t* pool, server_rec* server, int index, int takeLock) {
  return KelGuard("kel_config: GetSingleWebAppbyIndex", static_cast<WebApp*>(nullptr),
                  [&] { return WebAppByIndex(pool, ConfigOf(server), index, takeLock != 0); });
}

KEL_CONFIG_EXPORT WebApp* GetSingleWebAppbyName(apr_pool_t* pool, server_rec* server, const char* name, int takeLock) {
  return KelGuard("kel_config: GetSingleWebAppbyName", static_cast<WebApp*>(nullptr),
                  [&] { return WebAppByName(pool, ConfigOf(server), name, takeLock != 0); });
}

KEL_CONFIG_EXPORT char* GetWebAppPropertyList(apr_pool_t* pool, server_rec* server, const char* name) {
  return KelGuard("kel_config: GetWebAppPropertyList", static_cast<char*>(nullptr),
                  [&] { return WebAppProperties(pool, ConfigOf(server), name); });
}

KEL_CONFIG_EXPORT int AddSingleWebApp(apr_pool_t* pool, server_rec* server, WebApp* record) {
  return KelGuard("kel_config: AddSingleWebApp", 0,
                  [&] { return AddWebApp(ConfigOf(server), record, ErrorLogLine, server); });
}

KEL_CONFIG_EXPORT int UnlistSingleWebApp(server_rec* server, const char* name) {
  return KelGuard("kel_config: UnlistSingleWebApp", 0, [&] { return UnlistWebApp(ConfigOf(server), name); });
}

KEL_CONFIG_EXPORT int DeleteSingleWebApp(server_rec* server, const char* name) {
  return KelGuard("kel_config: DeleteSingleWebApp", 0, [&] { return DeleteWebApp(ConfigOf(server), name); });
}

KEL_CONFIG_EXPORT int GetCertificateList(apr_pool_t* pool, server_rec* server, TrustedCert** list) {
  return KelGuard("kel_config: GetCertificateList", 0, [&] { return ListCertificates(pool, ConfigOf(server), list); });
}

KEL_CONFIG_EXPORT TrustedCert* GetCertificate(apr_pool_t* pool, server_rec* server, const char* cn) {
  return KelGuard("kel_config: GetCertificate", static_cast<TrustedCert*>(nullptr),
                  [&] { return CertificateByCn(pool, ConfigOf(server), cn); });
}

KEL_CONFIG_EXPORT TrustedCert* GetCertificateByFilename(apr_pool_t* pool, server_rec* server, const char* fileName) {
  return KelGuard("kel_config: GetCertificateByFilename", static_cast<TrustedCert*>(nullptr),
                  [&] { return CertificateByFileName(pool, ConfigOf(server), fileName); });
}

KEL_CONFIG_EXPORT int AddRawZQCertificate(apr_pool_t* pool, server_rec* server, const char* text, int addToList,
                                          int groupConfig) {
  return KelGuard("kel_config: AddRawZQCertificate", KEL_CERT_FILE_ERROR,
                  [&] { return AddRawCertificate(ConfigOf(server), text, addToList != 0, groupConfig != 0); });
}

KEL_CONFIG_EXPORT int ViewCertificate(request_rec* r, const char* path) {
  try {
    std::string dump;
    if (!CertificateDump(path, &dump)) return 0;
    ap_rputs("<pre>", r);
    ap_rwrite(dump.data(), static_cast<int>(dump.size()), r);
    ap_rputs("</pre>", r);
    return 1;
  } catch (...) {
    KelCaught("kel_config: ViewCertificate");
    return 0;
  }
}

KEL_CONFIG_EXPORT int RemoveCertificate(request_rec* r, const char* path) {
  return KelGuard("kel_config: RemoveCertificate", 0,
                  [&] { return RemoveCertificateFile(ConfigOf(r ? r->server : nullptr), path); });
}

KEL_CONFIG_EXPORT int GetLogFile(request_rec* r, int which) {
  try {
    std::string text;
    bool opened = false;
    {
      KelLockHold hold(LogLock(), false);
      if (which == 0)
        opened = ReadRingLog(KelLogFilePath(), &text);
      else if (which == 1)
        opened = ReadRingLog(OrvLogFilePath(), &text);
    }
    if (!text.empty()) ap_rwrite(text.data(), static_cast<int>(text.size()), r);
    // Logged after the read lock is released: the writer takes it.
    if (!opened && DebugCategory(KEL_DEBUG_BC))
      LogOutput(2, "GetLogFile: could not open logfile.\nKelLogFile=%s, OrvLogFile=%s\n", KelLogFilePath().c_str(),
                OrvLogFilePath().c_str());
  } catch (...) {
    KelCaught("kel_config: GetLogFile");
  }
  return 1;
}

KEL_CONFIG_EXPORT int CheckForOrvLogFile(request_rec* r) {
  try {
    apr_finfo_t info;
    int found = apr_stat(&info, OrvLogFilePath().c_str(), APR_FINFO_TYPE, r->pool) == APR_SUCCESS ? 1 : 0;
    if (DebugCategory(KEL_DEBUG_BC))
      LogOutput(2, "CheckForOrvLogFile: retval=%d, OrvLogFile %s\n", found, OrvLogFilePath().c_str());
    return found;
  } catch (...) {
    KelCaught("kel_config: CheckForOrvLogFile");
    return 0;
  }
}

}  // extern "C"
