// Test tool: a web-server module that shows what mod_kel_config's exports
// give, for the integration tests.
//   /kelprobe/setting?NAME   the setting's stored value (integers as numbers)
//   /kelprobe/log?TEXT       LogOutput(0, TEXT); answers the returned count
//   /kelprobe/set?NAME=VALUE SetSingleKELCfgValue; answers its result
//   /kelprobe/certs          the trusted certificates' common names
//   /kelprobe/config         which configuration record serves this server
//   /kelprobe/whoami         the login notes and session header, as "level user dir"
//   /kelprobe/sub            /kelprobe/whoami run as a sub-request
//   /kelprobe/addagent?PORT  registers a legacy-style record with that port
//   /kelprobe/webapps        the registry, one record a line:
//                            name|port|isactive|hidden|cimom|marketname|entryurl|cimomurl|httpServer|
//                            extensionBase|vexoHomeDirectory|aliveCheck
// A request header "KelProbe-Level: N" sets the login note of the level to
// N ("none" removes it) before the handlers run; "KelProbe-User: NAME" does
// the same for the user-name note. The headers go no further.
#include "httpd.h"
#include "http_config.h"
#include "http_protocol.h"
#include "http_request.h"
#include "apr_tables.h"
#include "kel_config.h"
#include "kel_module.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_config_module;
extern module AP_MODULE_DECLARE_DATA kel_probe_module;
}

namespace {

const char* Query(request_rec* r) { return r->args ? r->args : ""; }

int Handler(request_rec* r) {
  if (!KelIsHandler(r, "kel_probe_handler")) return DECLINED;
  ap_set_content_type(r, "text/plain");
  std::string uri = r->uri;
  std::string answer;
  if (uri == "/kelprobe/setting") {
    char* v = GetKELInternalCfgValue(r->pool, r->server, Query(r));
    if (!v) {
      answer = "(none)";
    } else if (!strcmp(Query(r), "ui-timeout") || !strcmp(Query(r), "ip-binding") ||
               !strcmp(Query(r), "anonymous-access")) {
      int32_t n;
      memcpy(&n, v, sizeof n);
      answer = std::to_string(n);
    } else {
      answer = v;
    }
  } else if (uri == "/kelprobe/log") {
    answer = std::to_string(LogOutput(0, "%s", Query(r)));
  } else if (uri == "/kelprobe/set") {
    std::string q = Query(r);
    size_t eq = q.find('=');
    if (eq == std::string::npos) return HTTP_BAD_REQUEST;
    answer = std::to_string(SetSingleKELCfgValue(r->server, q.substr(0, eq).c_str(), q.substr(eq + 1).c_str()));
  } else if (uri == "/kelprobe/certs") {
    TrustedCert* list = nullptr;
    int n = GetCertificateList(r->pool, r->server, &list);
    for (int i = 0; i < n; ++i) answer += std::string(i ? "," : "") + list[i].cn;
  } else if (uri == "/kelprobe/whoami") {
    const char* level = apr_table_get(r->notes, KEL_NOTE_AUTH_LEVEL);
    const char* user = apr_table_get(r->notes, KEL_NOTE_USER_NAME);
    const char* dir = apr_table_get(r->headers_in, KEL_HEADER_SESSION_DIR);
    answer = std::string(level ? level : "-") + " " + (user ? user : "-") + " " + (dir ? dir : "-");
  } else if (uri == "/kelprobe/sub") {
    request_rec* sub = ap_sub_req_lookup_uri("/kelprobe/whoami", r, r->output_filters);
    if (!sub || sub->status != HTTP_OK) return HTTP_INTERNAL_SERVER_ERROR;
    ap_run_sub_req(sub);
    ap_destroy_sub_req(sub);
    return OK;
  } else if (uri == "/kelprobe/addagent") {
    WebApp app;
    memset(&app, 0, sizeof app);
    snprintf(app.sAppName, sizeof app.sAppName, "agent%s", Query(r));
    snprintf(app.marketname, sizeof app.marketname, "Agent %s", Query(r));
    snprintf(app.httpServer, sizeof app.httpServer, "LegacyAgent/1.0");
    app.vexoType = 2;
    app.vexoPort = static_cast<unsigned>(atoi(Query(r)));
    app.isactive = 1;
    answer = std::to_string(AddSingleWebApp(r->pool, r->server, &app));
  } else if (uri == "/kelprobe/webapps") {
    WebApp* list = nullptr;
    int n = GetWebAppCfgList(r->pool, r->server, &list);
    for (int i = 0; i < n; ++i) {
      const WebApp& a = list[i];
      answer += std::string(a.sAppName) + "|" + std::to_string(a.vexoPort) + "|" + std::to_string(a.isactive) + "|" +
                std::to_string(a.hidden) + "|" + std::to_string(a.cimom) + "|" + a.marketname + "|" + a.entryurl +
                "|" + a.cimomurl + "|" + a.httpServer + "|" + a.extensionBase + "|" + a.vexoHomeDirectory + "|" +
                (a.aliveCheck ? "alive" : "-") + "\n";
    }
  } else if (uri == "/kelprobe/throw") {
    // A handler that fails the C++ way, through the modules' dispatcher.
    static const KelRoute kThrowing[] = {
        {"/kelprobe/throw", [](request_rec*) -> int { throw std::runtime_error("probe failure"); }}};
    return KelDispatch(r, "kel_probe_handler", kThrowing, 1);
  } else if (uri == "/kelprobe/config") {
    char buf[32];
    snprintf(buf, sizeof buf, "%p", ap_get_module_config(r->server->module_config, &kel_config_module));
    answer = buf;
  } else {
    return HTTP_NOT_FOUND;
  }
  ap_rputs(answer.c_str(), r);
  return OK;
}

int SetLevel(request_rec* r) {
  if (const char* user = apr_table_get(r->headers_in, "KelProbe-User")) {
    apr_table_set(r->notes, KEL_NOTE_USER_NAME, user);
    apr_table_unset(r->headers_in, "KelProbe-User");
  }
  const char* level = apr_table_get(r->headers_in, "KelProbe-Level");
  if (!level) return DECLINED;
  if (strcmp(level, "none") == 0)
    apr_table_unset(r->notes, KEL_NOTE_AUTH_LEVEL);
  else
    apr_table_set(r->notes, KEL_NOTE_AUTH_LEVEL, level);
  apr_table_unset(r->headers_in, "KelProbe-Level");
  return DECLINED;
}

void RegisterHooks(apr_pool_t*) {
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_MIDDLE);
  // After the login layer has left its notes.
  ap_hook_fixups(SetLevel, nullptr, nullptr, APR_HOOK_LAST);
}

}  // namespace

extern "C" {
KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_probe_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, RegisterHooks, AP_MODULE_FLAG_NONE,
};
}
