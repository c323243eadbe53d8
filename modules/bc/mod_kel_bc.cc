// The legacy agent compatibility module: routes the legacy URIs, prepares
// requests the rewrite map sends to an agent, and runs discovery.
#include <strings.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "httpd.h"
#include "apr_strings.h"
#include "http_config.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "bc_help.h"
#include "bc_module.h"
#include "cfg_locks.h"
#include "kel_bc.h"
#include "kel_config.h"
#include "kel_dirs.h"
#include "kel_guard.h"
#include "kel_login.h"
#include "kel_module.h"

APLOG_USE_MODULE(kel_bc);

namespace {

constexpr size_t kHttpServerPrefix = 18;  // "Dornik HTTP Server"
// A request the rewrite map sends to an agent: its target is always the
// loopback address at an agent port, nothing else is prepared here.
constexpr const char kAgentTarget[] = "proxy:http://127.0.0.1:494";

// ---- Configuration ---------------------------------------------------------

void ErrorLogLine(void* context, BcLogKind kind, const char* text) {
  ap_log_error(APLOG_MARK, kind == BcLogKind::kAlways ? APLOG_EMERG : APLOG_ERR, 0,
               static_cast<server_rec*>(context), "%s", text);
}

void* CreateServerConfig(apr_pool_t* pool, server_rec* s) {
  try {
    auto* config = static_cast<KelBcServerConfig*>(apr_pcalloc(pool, sizeof(KelBcServerConfig)));
    config->server = s;
    config->pool = pool;
    if (!CreateBcLocks(pool))
      ap_log_error(APLOG_MARK, APLOG_ERR, 0, s, "create_qx_bc_server_config: Cannot create the module's locks");
    apr_pool_t* temp = nullptr;
    if (apr_pool_create(&temp, pool) != APR_SUCCESS) {
      BcLog(BcErrorLog(s), BcLogKind::kDebug, "create_qx_bc_server_config: Cannot allocate temporary subpool\n");
      return config;
    }
    ResetNavigationFile(temp);
    ResetHelpFiles(temp);
    getOrvACL(temp, config, BcErrorLog(s));
    apr_pool_destroy(temp);
    return config;
  } catch (...) {
    KelCaught("kel_bc: create_qx_bc_server_config");
    return nullptr;
  }
}

// ---- Discovery host --------------------------------------------------------

class RequestHost : public BcDiscoveryHost {
 public:
  explicit RequestHost(request_rec* r) : r_(r) {
    log = BcErrorLog(r->server);
    mapPath = KelSharedPath(KelShared::kLegacyMapFile);
    char base[kKelPathMax];
    baseDir = GetBaseDir(base, sizeof base);
  }
  const char* LockPorts() override { return GetKELInternalCfgValue(r_->pool, r_->server, "lock-ports"); }
  int Register(WebApp* app) override {
    app->aliveCheck = checkVEXOAlive;
    return AddSingleWebApp(r_->pool, r_->server, app);
  }

 private:
  request_rec* r_;
};

// ---- Routes ----------------------------------------------------------------

int Registration(request_rec* r) {
  getVEXOs(r);
  r->status = HTTP_OK;
  return OK;
}

int Reconnect(request_rec* r) {
  r->status = HTTP_BAD_REQUEST;
  return OK;
}

// A discovery rewrites the navigation file in place under its lock. The
// default handler would map the file into memory without that lock (and
// the worker dies of SIGBUS when the file shrinks under the mapping), so
// the file is read whole under the lock and sent from memory: a page gets
// the old navigation or the new. A file that cannot be read is left to the
// default handler's answer.
int SendNavigationFile(request_rec* r) {
  if (r->method_number != M_GET || r->finfo.filetype != APR_REG) return DECLINED;
  std::string text;
  {
    KelLockHold hold(g_bcLocks.navFile, false);
    if (!BcReadFile(r->filename, &text)) return DECLINED;
  }
  ap_update_mtime(r, r->finfo.mtime);
  ap_set_last_modified(r);
  if (r->header_only) return OK;
  apr_bucket_brigade* bb = apr_brigade_create(r->pool, r->connection->bucket_alloc);
  APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_pool_create(apr_pstrmemdup(r->pool, text.data(), text.size()), text.size(),
                                                     r->pool, r->connection->bucket_alloc));
  APR_BRIGADE_INSERT_TAIL(bb, apr_bucket_eos_create(r->connection->bucket_alloc));
  return ap_pass_brigade(r->output_filters, bb) == APR_SUCCESS ? OK : AP_FILTER_ERROR;
}

// Agents that stopped answering are unlisted and discovery runs again;
// the page is the navigation file through the tag filter.
int NavigationFile(request_rec* r) {
  WebApp* list = nullptr;
  int count = GetWebAppCfgList(r->pool, r->server, &list);
  if (!list) return DECLINED;
  bool unlisted = false;
  for (int i = 0; i < count; ++i) {
    WebApp& app = list[i];
    if (strncmp(app.httpServer, "Dornik HTTP Server", kHttpServerPrefix) != 0 || !app.isactive || !app.aliveCheck)
      continue;
    if (app.aliveCheck(r, &app) == 0) {
      UnlistSingleWebApp(r->server, app.sAppName);
      unlisted = true;
    }
  }
  if (unlisted) {
    getVEXOs(r);
    // The discovery rewrote the file: what is served is the new one, whole.
    apr_stat(&r->finfo, r->filename, APR_FINFO_MIN, r->pool);
  }
  ap_add_output_filter(kBcTagFilter, nullptr, r, r->connection);
  return SendNavigationFile(r);
}

struct BcRoute {
  const char* uri;
  int (*handle)(request_rec* r);
  bool anyCase;  // answered in every letter case, whatever <Location> matched
};
constexpr BcRoute kRoutes[] = {
    {"/Proxy/Registration", Registration, true},
    {"/Proxy/Reconnect", Reconnect, true},
    {"/navfile.htm", NavigationFile, false},
};

// <Location> matching is case-sensitive: a URI in another letter case than
// the configured one is ours when its configured spelling is.
bool RoutedHereInAnyCase(request_rec* r, const BcRoute& route) {
  if (r->main || strcmp(r->uri, route.uri) == 0) return false;
  request_rec* rr = ap_sub_req_lookup_uri(route.uri, r, BcDiscardSink(r));
  bool ours = rr && rr->handler && strcasecmp(rr->handler, kBcHandlerName) == 0;
  if (rr) ap_destroy_sub_req(rr);
  return ours;
}

// ---- Requests proxied to an agent -----------------------------------------

bool HasPrefix(const char* text, const char* prefix) { return strncasecmp(text, prefix, strlen(prefix)) == 0; }

// An agent gets the legacy credentials and nothing of the portal's own:
// not its session cookie, not its internal headers, not a password, and no
// identification header a client made up.
void PrepareAgentRequest(request_rec* r) {
  apr_array_header_t* names = apr_array_make(r->pool, 4, sizeof(const char*));
  const apr_array_header_t* fields = apr_table_elts(r->headers_in);
  const auto* entries = reinterpret_cast<const apr_table_entry_t*>(fields->elts);
  for (int i = 0; i < fields->nelts; ++i)
    if (entries[i].key && (HasPrefix(entries[i].key, "QXKEL-") || HasPrefix(entries[i].key, "Dornik-")))
      *static_cast<const char**>(apr_array_push(names)) = entries[i].key;
  for (int i = 0; i < names->nelts; ++i) apr_table_unset(r->headers_in, reinterpret_cast<const char**>(names->elts)[i]);
  for (const char* header : {"Cookie", "Authorization", "Proxy-Authorization"}) apr_table_unset(r->headers_in, header);

  addOrvCookie(r);
  if (strstr(r->filename, "/cimom")) {
    r->uri = apr_pstrdup(r->pool, "/cimom");
    r->unparsed_uri = apr_pstrdup(r->pool, "/cimom");
    char* host = strstr(r->filename, "127.0.0.1");
    if (host && strstr(host, "/cimom")) {
      char* path = strchr(host, '/');
      r->filename = apr_pstrcat(r->pool, apr_pstrmemdup(r->pool, r->filename, path - r->filename), "/cimom", nullptr);
    }
  }
  ap_add_output_filter(kBcHeaderFilter, nullptr, r, r->connection);
}

// Another module may have changed the method; the request line says what
// the client asked. A sub-request's method is its own and stays.
void RestoreMethod(request_rec* r) {
  if (r->main || !r->the_request) return;
  if (strncmp(r->the_request, "GET", 3) == 0) {
    r->method = "GET";
    r->method_number = M_GET;
  } else if (strncmp(r->the_request, "POST", 4) == 0) {
    r->method = "POST";
    r->method_number = M_POST;
  }
}

int Handle(request_rec* r) {
  int result = DECLINED;
  if (r->uri) {
    bool named = r->handler && strcasecmp(r->handler, kBcHandlerName) == 0;
    for (const BcRoute& route : kRoutes) {
      if (strcasecmp(r->uri, route.uri) != 0) continue;
      if (named || (route.anyCase && RoutedHereInAnyCase(r, route))) result = route.handle(r);
      break;
    }
  }
  if (result == DECLINED && !(r->handler && strcasecmp(r->handler, kBcHandlerName) == 0) && r->filename &&
      strncmp(r->filename, kAgentTarget, sizeof kAgentTarget - 1) == 0)
    PrepareAgentRequest(r);
  RestoreMethod(r);
  return result;
}

int Handler(request_rec* r) {
  try {
    return Handle(r);
  } catch (...) {
    KelCaught("kel_bc: Handler");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

void RegisterHooks(apr_pool_t*) {
  // Ahead of the reverse proxy's handler: requests for an agent get their
  // headers and filter before the proxy sends them.
  static const char* const kBefore[] = {"mod_proxy.c", nullptr};
  ap_hook_handler(Handler, nullptr, kBefore, APR_HOOK_FIRST);
  KelHookHandlerUrlType([](request_rec* r) { return KelTypeOfHandlerUrl(r, kBcHandlerName); });
  RegisterBcFilters();
}

}  // namespace

KelBcServerConfig* BcConfigOf(server_rec* s) {
  return s ? static_cast<KelBcServerConfig*>(ap_get_module_config(s->module_config, &kel_bc_module)) : nullptr;
}

BcLogSink BcErrorLog(server_rec* s) {
  BcLogSink sink;
  sink.write = ErrorLogLine;
  sink.context = s;
  return sink;
}

char* GenerateOrvCookie(request_rec* r) {
  KelBcServerConfig* config = BcConfigOf(r->server);
  if (!config) return nullptr;
  std::string cookie = OrvCookieFor(config, apr_table_get(r->notes, KEL_NOTE_AUTH_LEVEL));
  BcLog(BcErrorLog(r->server), BcLogKind::kDebug, "GenerateOrvCookie: orvCookie=%s", cookie.c_str());
  return apr_pstrdup(r->pool, cookie.c_str());
}

// The hashes are fixed at configuration time, so no lock is taken: a
// running discovery does not hold agent traffic.
int addOrvCookie(request_rec* r) {
  const char* level = apr_table_get(r->notes, KEL_NOTE_AUTH_LEVEL);
  char* cookie = GenerateOrvCookie(r);
  if (!cookie) {
    BcLog(BcErrorLog(r->server), BcLogKind::kDebug, "addOrvCookie: unable to generate orv cookie.");
    return 0;
  }
  apr_table_set(r->headers_in, "Cookie", cookie);
  BcLog(BcErrorLog(r->server), BcLogKind::kDebug, "addOrvCookie: adding the following orv cookie to headers_in:\n%s.",
        cookie);
  apr_table_set(r->headers_in, "Dornik-WBEM-UserName", OrvUserNameFor(level));
  apr_table_set(r->headers_in, "Dornik-HTTPServerVersion", "99990000");
  apr_table_set(r->headers_in, "Dornik-Original-Protocol", "HTTPS");
  return 1;
}

namespace {

// An agent that answered is taken as alive for a second. The status
// reports, the navigation file and every homepage ask about each agent;
// without this a busy portal would send every agent one request for each
// of theirs. Once the second is over, one request asks the agent again
// while the others keep the answer for at most another second, so that a
// busy portal does not send the agent a crowd of checks at once. An agent
// that did not answer is asked again the next time.
constexpr apr_interval_time_t kAliveFor = apr_time_from_sec(1);
constexpr apr_interval_time_t kKeptWhileAsking = apr_time_from_sec(1);
struct Liveness {
  apr_time_t answeredAt;
  bool asking;
};
std::mutex g_aliveLock;
std::map<std::string, Liveness> g_alive;

// True when the agent counts as alive without asking it; otherwise the
// caller asks it.
bool TakeAsAlive(const char* name, apr_time_t now) {
  std::lock_guard<std::mutex> hold(g_aliveLock);
  auto it = g_alive.find(name);
  if (it == g_alive.end() || now < it->second.answeredAt) return false;
  apr_interval_time_t age = now - it->second.answeredAt;
  if (age < kAliveFor) return true;
  if (age >= kAliveFor + kKeptWhileAsking) return false;
  if (it->second.asking) return true;
  it->second.asking = true;
  return false;
}

void NoteAlive(const char* name, bool alive, apr_time_t now) {
  std::lock_guard<std::mutex> hold(g_aliveLock);
  if (alive)
    g_alive[name] = Liveness{now, false};
  else
    g_alive.erase(name);
}

// A discovery looks at the agents afresh: once it has ended, nothing known
// before it, nor what its reading of the agents' files learnt, is kept.
void ForgetAgentLiveness() {
  std::lock_guard<std::mutex> hold(g_aliveLock);
  g_alive.clear();
}

}  // namespace

int checkVEXOAlive(request_rec* r, WebApp* app) {
  return KelGuard("kel_bc: checkVEXOAlive", 0, [&] {
    apr_time_t now = apr_time_now();
    if (TakeAsAlive(app->sAppName, now)) return 1;
    request_rec* rr = ap_sub_req_lookup_uri(apr_pstrcat(r->pool, "/", app->sAppName, nullptr), r, BcDiscardSink(r));
    if (!rr) return 0;
    int rc = ap_run_sub_req(rr);
    ap_destroy_sub_req(rr);
    NoteAlive(app->sAppName, rc == OK, now);
    return rc == OK ? 1 : 0;
  });
}

extern "C" {

KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_bc_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, CreateServerConfig, nullptr, nullptr, RegisterHooks,
    AP_MODULE_FLAG_NONE,
};

KEL_BC_EXPORT int getVEXOs(request_rec* r) {
  return KelGuard("kel_bc: getVEXOs", -1, [&] {
    // One discovery at a time; proxied agent requests never wait for it.
    KelLockHold hold(g_bcLocks.vexo, true);
    RequestHost host(r);
    int status = DiscoverVexos(host);
    processVEXOIniFiles(r);
    ForgetAgentLiveness();
    return status;
  });
}

KEL_BC_EXPORT int OrvAuthUser(request_rec* r, const char* user, const char* password) {
  return KelGuard("kel_bc: OrvAuthUser", 0, [&] { return OrvAuthUserWith(BcConfigOf(r->server), user, password); });
}

}
