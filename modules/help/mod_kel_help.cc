// The help module: serves the merged help under /help.
#include "httpd.h"
#include "http_config.h"
#include "http_protocol.h"
#include "kel_module.h"

namespace {

constexpr const char* kHandlerName = "kel_help_handler";

// Nothing is answered yet: every request is declined.
int Handler(request_rec* r) { return KelDispatch(r, kHandlerName, nullptr, 0); }

void RegisterHooks(apr_pool_t*) { ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_MIDDLE); }

}  // namespace

extern "C" {
KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_help_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, RegisterHooks, AP_MODULE_FLAG_NONE,
};
}
