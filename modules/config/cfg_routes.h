// The URIs the settings module's content handler answers, in the order its
// dispatch table compares them. The generated configuration gives these
// locations the module's handler name; a unit test holds the two together.
#pragma once

#include <cstddef>

inline constexpr const char* kConfigHandlerName = "kel_config_handler";

inline constexpr const char* kConfigUris[] = {
    "/proxy/zqstatusreport", "/proxy/kelstatus",  "/cimom",           "/Proxy/configui",
    "/proxy/GetKELData",     "/proxy/SetKELData", "/proxy/AddZQCert",
};
inline constexpr size_t kConfigUriCount = sizeof kConfigUris / sizeof kConfigUris[0];
