// The UI module: data for the homepage's pages and the UI's requests, every
// URL under /proxy/kelui/.
#include <strings.h>

#include "httpd.h"
#include "apr_strings.h"
#include "http_config.h"
#include "http_protocol.h"
#include "http_request.h"
#include "kel_guard.h"
#include "kel_module.h"
#include "ui_module.h"

namespace {

constexpr char kHandlerName[] = "kel_ui_handler";

// Matched in this order, without regard to case.
constexpr KelRoute kRoutes[] = {
    {"/proxy/kelui/getlogininfo", UiLoginInfo},
    {"/proxy/kelui/getuiinfo", UiInfo},
    {"/proxy/kelui/getkellog", UiLogDownload},
    {"/proxy/kelui/getcertdata", UiCertData},
    {"/proxy/kelui/getcertinfo", UiCertInfo},
    {"/proxy/kelui/removecert", UiRemoveCert},
    {"/proxy/kelui/chptree.htm", UiNavigationTree},
    {"/proxy/kelui/getaiccert", UiManagementCertProbe},
    {"/proxy/kelui/getaiclogininfo", UiManagementLoginInfo},
    {"/proxy/kelui/doaicafterlogin", UiTrustManagementCert},
    // Beyond the original table: what the portal's pages read besides tags.
    {"/proxy/kelui/getsettings", UiScriptlessSettings},
    {"/proxy/kelui/getservercert", UiServerCertFacts},
    {"/proxy/kelui/getcertreq", UiCertRequestFile},
    {"/proxy/kelui/home.htm", UiHomePage},
};
constexpr size_t kRouteCount = sizeof kRoutes / sizeof kRoutes[0];

// <Location> matching is case-sensitive: a table URL in another letter
// case is ours when the configuration gives its own spelling our handler.
void ClaimOtherCase(request_rec* r) {
  if (r->main || !r->uri || KelIsHandler(r, kHandlerName)) return;
  for (const KelRoute& route : kRoutes) {
    if (strcasecmp(r->uri, route.uri) != 0) continue;
    request_rec* rr = ap_sub_req_lookup_uri(route.uri, r, nullptr);
    if (rr && KelIsHandler(rr, kHandlerName)) r->handler = kHandlerName;
    if (rr) ap_destroy_sub_req(rr);
    return;
  }
}

int Handler(request_rec* r) {
  try {
    ClaimOtherCase(r);
    if (!r->handler || strcasecmp(r->handler, kHandlerName) != 0) return DECLINED;
    // A URL under the handler that the table does not know is answered empty.
    int rc = KelDispatch(r, kHandlerName, kRoutes, kRouteCount);
    return rc == DECLINED ? OK : rc;
  } catch (...) {
    KelCaught("kel_ui: Handler");
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

void RegisterHooks(apr_pool_t*) {
  KelHookHandlerUrlType([](request_rec* r) { return KelTypeOfHandlerUrl(r, kHandlerName); });
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_FIRST);
}

}  // namespace

extern "C" {
KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_ui_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, RegisterHooks, AP_MODULE_FLAG_NONE,
};
}
