// The login layer. It runs in front of every other module of the portal and
// is the only one that may set what kel_login.h describes.
#include "httpd.h"
#include "apr_tables.h"
#include "http_config.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "kel_login.h"
#include "kel_module.h"

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_aa_module;
}
APLOG_USE_MODULE(kel_aa);

namespace {

constexpr const char* kHandlerName = "kel_aa_handler";

// A client must never be able to name a session directory of its own.
int StripClientIdentity(request_rec* r) {
  apr_table_unset(r->headers_in, KEL_HEADER_SESSION_DIR);
  return DECLINED;
}

// The login pages come with the login layer; until then nothing is served.
constexpr KelRoute* kRoutes = nullptr;
constexpr size_t kRouteCount = 0;

int Handler(request_rec* r) { return KelDispatch(r, kHandlerName, kRoutes, kRouteCount); }

void RegisterHooks(apr_pool_t* pool) {
  // Before any other module looks at the request's headers.
  ap_hook_post_read_request(StripClientIdentity, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_MIDDLE);
}

}  // namespace

extern "C" {
KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_aa_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, RegisterHooks, AP_MODULE_FLAG_NONE,
};
}
