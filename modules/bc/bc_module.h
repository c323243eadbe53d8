// What the module's web-server files share among themselves.
#pragma once

#include "httpd.h"
#include "http_config.h"
#include "util_filter.h"
#include "bc_core.h"

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_bc_module;
}

constexpr const char* kBcHandlerName = "kel_bc_handler";
constexpr const char* kBcHeaderFilter = "KEL_BC_HEADER_OUTPUT_FILTER";
constexpr const char* kBcTagFilter = "KEL_BC_TAG_PROCESSING_OUTPUT_FILTER";

// The configuration record of a server (null before one was made).
KelBcServerConfig* BcConfigOf(server_rec* s);
// The error log of that server, as the core's log sink.
BcLogSink BcErrorLog(server_rec* s);

// Registers the two filters and the sink the liveness check writes into.
void RegisterBcFilters();
// A filter that drops everything it is given: the output of a sub-request
// whose body belongs to no page.
ap_filter_t* BcDiscardSink(request_rec* r);

// The legacy cookie and the three identification headers; 1 when set.
int addOrvCookie(request_rec* r);
// "Dornik-VEXD=" and the value, from the request pool.
char* GenerateOrvCookie(request_rec* r);
// The liveness check of a discovered agent: 1 while it answers.
int checkVEXOAlive(request_rec* r, WebApp* app);

// The legacy INI collection and the navigation and help aggregation that
// follow every discovery, under the discovery lock.
void processVEXOIniFiles(request_rec* r);
// At every configuration read: the navigation file back to its header, the
// merged help files deleted.
void ResetNavigationFile(apr_pool_t* pool);
void ResetHelpFiles(apr_pool_t* pool);
