// The help module: serves the merged help under /help.
#include "httpd.h"
#include "http_config.h"
#include "http_protocol.h"
#include "kel_module.h"

namespace {

// The URIs this module answers; none yet, so every request is declined.
constexpr KelRoute kRoutes[] = {{"", nullptr}};

}  // namespace

KEL_DISPATCH_MODULE(kel_help_module, "kel_help_handler", kRoutes)
