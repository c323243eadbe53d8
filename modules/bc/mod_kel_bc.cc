// The legacy agent compatibility module.
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_protocol.h"
#include "kel_module.h"

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_bc_module;
}
APLOG_USE_MODULE(kel_bc);

namespace {

constexpr const char* kHandlerName = "kel_bc_handler";

// The URIs this module answers; none yet, so every request is declined.
constexpr KelRoute* kRoutes = nullptr;
constexpr size_t kRouteCount = 0;

int Handler(request_rec* r) { return KelDispatch(r, kHandlerName, kRoutes, kRouteCount); }

void RegisterHooks(apr_pool_t* pool) { ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_MIDDLE); }

}  // namespace

extern "C" {
KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_bc_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, RegisterHooks, AP_MODULE_FLAG_NONE,
};
}
