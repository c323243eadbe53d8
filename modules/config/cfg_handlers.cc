#include "cfg_handlers.h"

#include "apr_strings.h"
#include "apr_tables.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"

#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "cfg_batch.h"
#include "cfg_certs.h"
#include "cfg_cim.h"
#include "cfg_cim_request.h"
#include "cfg_keldata.h"
#include "cfg_locks.h"
#include "cfg_settings.h"
#include "cfg_webapps.h"
#include "kel_config.h"
#include "kel_login.h"
#include "kel_request.h"
#include "kel_svcctl.h"

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_config_module;
}
APLOG_USE_MODULE(kel_config);

namespace {

constexpr apr_off_t kMaxBody = 2097152;
constexpr const char kPortalEntry[] =
    "SSO=1\r\nSTE=1\r\nCommonHomePage=1\r\nSSORestrictAccess=2.0\r\nISAPIExtension=/Proxy\r\nHidden=no\r\n"
    "Proxy=Yes\r\nROOTUrl=/\r\nState=Running\r\nVEXOName=MarketingName: %s\r\nVEXOType=0\r\nCIMOM=1\r\n"
    "HTTPServer=DornikHTTPServer/99.99 (%s)\r\n";
constexpr const char kProductName[] = "QX Kel Portal";
constexpr const char kProductVersion[] = "QX Kel Portal v2.1.10.186";

int Message(request_rec* r, const char* location) {
  return KelRedirect(r, location, HTTP_MOVED_TEMPORARILY);
}

bool Live(request_rec* r, WebApp* app) { return !app->aliveCheck || app->aliveCheck(r, app) != 0; }

}  // namespace

int RequireAdministrator(request_rec* r) {
  return KelIsAdministrator(r) ? 0 : Message(r, "/message.php?200&4");
}

int ReadRequestBody(request_rec* r, std::string* body, KelBody* outcome) {
  KelBody read = KelReadBody(r, kMaxBody, body);
  if (outcome) *outcome = read;
  switch (read) {
    case KelBody::kRead:
    case KelBody::kNone:
      return 0;
    case KelBody::kTooLarge:
      LogOutput(2, "Group config POST exceeded 2MB in size.");
      return 1;
    default:
      return 1;
  }
}

int HandleKelData(request_rec* r) {
  if (strcasecmp(r->uri, "/proxy/GetKELData") == 0) {
    if (!r->args) return Message(r, "/message.php?210&4");
    std::vector<std::string> pieces = KelDataQueryPieces(r->args);
    if (pieces.empty()) return Message(r, "/message.php?211&4");
    if (pieces.size() < 2) return Message(r, "/message.php?212&4");
    ap_set_content_type(r, "text/html");
    if (pieces[0] != "Jscript") return OK;  // "Php", "Xml" and the rest: nothing
    std::string out = KelDataScript(ConfigOf(r), pieces);
    ap_rwrite(out.data(), static_cast<int>(out.size()), r);
    return OK;
  }

  // /proxy/SetKELData
  if (RequireAdministrator(r)) return HTTP_MOVED_TEMPORARILY;
  std::string body;
  if (!KelIsFormPost(r) || ReadRequestBody(r, &body) != 0) return OK;
  apr_table_t* form = apr_table_make(r->pool, 8);
  if (!ReadKelDataForm(body, form)) return Message(r, "/message.php?204&4");
  int restart = 0;
  int result = SetMultipleKELCfgValue(r->pool, ConfigOf(r), form, kBatchStore | kBatchWrite, &restart, KelErrorLogLine, r);
  bool restartFailed = false;
  if (restart) {
    ap_log_rerror(APLOG_MARK, APLOG_ALERT, 0, r, "IP Binding/IP Restriction page requested a graceful restart.");
    restartFailed = RequestServiceRestart() != 1;
  }
  if (restartFailed) {
    LogOutput(2, "Restarting KEL process failed.");
    return Message(r, "/message.php?201&4");
  }
  return Message(r, result ? "/message.php?202&2" : "/message.php?204&4");
}

int HandleAddZQCert(request_rec* r) {
  r->status = HTTP_MOVED_TEMPORARILY;
  if (RequireAdministrator(r)) return HTTP_MOVED_TEMPORARILY;
  if (!KelIsFormPost(r)) return Message(r, "/message.php?203&4");
  std::string body;
  if (ReadRequestBody(r, &body) != 0) return Message(r, "/message.php?204&4");
  size_t at = body.find("AddZQCert=");
  if (at == std::string::npos) return Message(r, "/message.php?207&4");
  std::string text = body.substr(at + strlen("AddZQCert="));
  if (!KelFormDecode(&text)) return Message(r, "/message.php?207&4");
  switch (AddRawCertificate(ConfigOf(r), text.c_str(), true, false)) {
    case KEL_CERT_OK: return Message(r, "/message.php?205&2");
    case KEL_CERT_NOT_VALID_NOW: return Message(r, "/message.php?209&4");
    case KEL_CERT_NOT_A_CERTIFICATE: return Message(r, "/message.php?207&4");
    default: return Message(r, "/message.php?206&4");
  }
}

int HandleZQStatusReport(request_rec* r) {
  ap_set_content_type(r, "text/plain");
  WebApp* list = nullptr;
  int n = GetWebAppCfgList(r->pool, r->server, &list);
  // The report in one piece: a management server's poll is a busy page.
  std::string report = apr_psprintf(r->pool, kPortalEntry, kProductName, kProductVersion);
  report.reserve(report.size() + 256 * static_cast<size_t>(n > 0 ? n : 0));
  for (int i = 0; i < n; ++i) {
    WebApp* app = &list[i];
    bool live = Live(r, app);
    if (live && app->isactive) {
      report.append("ISAPIExtension=/").append(app->sAppName[0] ? app->sAppName : "(None)").append("\r\n");
      if (app->hidden) report += "Hidden=yes\r\n";
      report.append("Proxy=No\r\nROOTUrl=").append(app->entryurl[0] ? app->entryurl : "/");
      report.append("\r\nState=Running\r\nVEXOName=");
      if (!strstr(app->marketname, "MarketingName")) report += "MarketingName:";
      report.append(app->marketname[0] ? app->marketname : "(None)");
      report.append("\r\nVEXOType=").append(std::to_string(app->vexoType));
      report.append("\r\nCIMOM=").append(std::to_string(app->cimom)).append("\r\n");
      if (app->httpServer[0]) report.append("HTTPServer=").append(app->httpServer).append("\r\n");
    } else if (app->aliveCheck) {
      UnlistSingleWebApp(r->server, app->sAppName);
    }
  }
  ap_rwrite(report.data(), static_cast<int>(report.size()), r);
  return OK;
}

int HandleKelStatus(request_rec* r) {
  WebApp* list = nullptr;
  int n = GetWebAppCfgList(r->pool, r->server, &list);
  std::string lines;
  int overall = 0;
  for (int i = 0; i < n; ++i) {
    WebApp* app = &list[i];
    if (!Live(r, app) || !app->isactive) continue;
    int status = 0;
    if (app->statusurl[0]) {
      request_rec* sub = ap_sub_req_lookup_uri(app->statusurl, r, r->output_filters);
      if (sub && sub->status == HTTP_OK && ap_run_sub_req(sub) == OK) {
        const char* v = apr_table_get(sub->headers_out, "WebAppStatus");
        if (!v) v = apr_table_get(sub->err_headers_out, "WebAppStatus");
        if (v && v[0] >= '1' && v[0] <= '4') status = v[0] - '0';
      }
      if (sub) ap_destroy_sub_req(sub);
    }
    lines += apr_psprintf(r->pool, "WebAppNameAndStatus=%s,%d\r\n", app->sAppName[0] ? app->sAppName : "(None)",
                          status);
    if (status > overall) overall = status;
  }
  ap_set_content_type(r, "text/plain");
  ap_rprintf(r, "KelOverallStatus=%d\r\n", overall);
  ap_rwrite(lines.data(), static_cast<int>(lines.size()), r);
  return OK;
}

int HandleCimomAndConfigUi(request_rec* r) {
  if (strcasecmp(r->uri, "/Proxy/configui") == 0) {
    apr_table_setn(r->err_headers_out, "Location", "/?chppath=settings::kel portal::security");
    r->status = HTTP_MOVED_TEMPORARILY;
    return OK;
  }
  const char* header = apr_table_get(r->headers_in, "CIMObject");
  if (!header) return OK;
  // Standard clients escape the object path; a class they name after ":"
  // is not part of the namespace.
  std::string object = CimObjectPath(header);
  std::string name;
  for (const char* prefix : {"root/dornik/", "root/qx/"})
    if (strncasecmp(object.c_str(), prefix, strlen(prefix)) == 0) name = object.substr(strlen(prefix));
  name = name.substr(0, name.find(':'));
  if (name.empty()) return OK;
  // The management servers' own namespace is answered by group configuration.
  if (strcasecmp(name.c_str(), "proxy") == 0) {
    HandleCimRequest(r);
    return OK;
  }
  WebApp* app = GetSingleWebAppbyName(r->pool, r->server, name.c_str(), 1);
  if (app && app->isactive && app->cimom && app->cimomurl[0])
    ap_internal_redirect(apr_pstrdup(r->pool, app->cimomurl), r);
  return OK;
}
