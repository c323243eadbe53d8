// The certificate request module: a signing request for the server key,
// the import of the authority's PKCS#7 reply as the server certificate, and
// the restart that puts it into service. The key itself is read only by
// the module's root helper.
#include "httpd.h"
#include "apr_strings.h"
#include "http_config.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "kel_dirs.h"
#include "kel_module.h"
#include "kel_rootchild.h"
#include "kel_svcctl.h"
#include "pkcs_keyhelper.h"
#include "pkcs_steps.h"

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_pkcs_module;
}
APLOG_USE_MODULE(kel_pkcs);

namespace {

constexpr const char* kHandlerName = "pkcs-handler";
constexpr const char* kHelperName = "kelkey";

constexpr KelRoute kRoutes[] = {
    {"/proxy/kelimp_c.htm", HandlePkcs7Import},
    {"/proxy/kelgen_c.htm", HandleCertificateRequest},
    {"/proxy/kelrestart_c.htm", HandleCertificateRestart},
};

int Handler(request_rec* r) { return KelDispatch(r, kHandlerName, kRoutes, sizeof kRoutes / sizeof kRoutes[0]); }

void ServeKeys(int fd, void* keyPath) { ServeKeyRequests(fd, static_cast<const char*>(keyPath)); }

// The key helper, forked from the root parent: the workers cannot read the
// key file.
int StartKeyHelper(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*, server_rec* s) {
  if (ap_state_query(AP_SQ_MAIN_STATE) == AP_SQ_MS_CREATE_PRE_CONFIG) return OK;
  g_pkcsKeySocket = ServiceRunDir() + "/kelkey.sock";
  char ssl[kKelPathMax] = "";
  GetSslShareDir(ssl, sizeof ssl);
  char* keyPath = apr_pstrcat(pconf, ssl, "/file.pem", nullptr);
  KelRootHelper helper{APLOG_MODULE_INDEX,
                        "kel_pkcs",
                        "the key helper",
                        kHelperName,
                        "no certificate request can be signed or imported",
                        g_pkcsKeySocket.c_str(),
                        ServeKeys,
                        keyPath};
  KelStartRootChild(pconf, s, helper);
  return OK;
}

int StartKeyHelperEntry(apr_pool_t* pconf, apr_pool_t* plog, apr_pool_t* ptemp, server_rec* s) {
  return KelGuard("kel_pkcs: starting the key helper", OK, [&]() { return StartKeyHelper(pconf, plog, ptemp, s); });
}

void RegisterHooks(apr_pool_t*) {
  ap_hook_post_config(StartKeyHelperEntry, nullptr, nullptr, APR_HOOK_MIDDLE);
  KelHookHandlerUrlType([](request_rec* r) { return KelTypeOfHandlerUrl(r, kHandlerName); });
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_MIDDLE);
}

}  // namespace

extern "C" {
KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_pkcs_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, RegisterHooks, AP_MODULE_FLAG_NONE,
};
}
