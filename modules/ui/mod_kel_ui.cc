// The UI module: data for the homepage's pages and the UI's requests.
#include "httpd.h"
#include "http_config.h"
#include "http_protocol.h"
#include "kel_module.h"

namespace {

// The URIs this module answers; none yet, so every request is declined.
constexpr KelRoute kRoutes[] = {{"", nullptr}};

}  // namespace

KEL_DISPATCH_MODULE(kel_ui_module, "kel_ui_handler", kRoutes)
