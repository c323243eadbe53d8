// The merged navigation and help files of the legacy agents: their reset at
// every configuration read and the two exports the UI module reads them by.
#include <sys/stat.h>

#include "bc_help.h"
#include "bc_module.h"
#include "http_protocol.h"
#include "http_request.h"
#include "kel_bc.h"
#include "kel_guard.h"

void ResetNavigationFile(apr_pool_t*) {
  KelGuard("kel_bc: ResetNavigationFile", 0,
           [] { return ResetNavigationFileAt(BcMergedFilePaths().navFile, BcLogSink()); });
}

void ResetHelpFiles(apr_pool_t*) {
  KelGuard("kel_bc: ResetHelpFiles", 0, [] {
    ResetHelpFilesAt(BcMergedFilePaths());
    return 1;
  });
}

// The navigation goes through the tag filter of "/navfile.htm" into the
// caller's own output.
extern "C" KEL_BC_EXPORT int GetNavigationFile(request_rec* r) {
  return KelGuard("kel_bc: GetNavigationFile", HTTP_INTERNAL_SERVER_ERROR, [&] {
    request_rec* rr = ap_sub_req_lookup_uri("/navfile.htm", r, r->output_filters);
    if (!rr) return HTTP_INTERNAL_SERVER_ERROR;
    int rc = ap_run_sub_req(rr);
    ap_rflush(rr);
    ap_destroy_sub_req(rr);
    return rc;
  });
}

extern "C" KEL_BC_EXPORT int CheckForOrvHelpFiles(request_rec* r) {
  return KelGuard("kel_bc: CheckForOrvHelpFiles", 0, [&] {
    (void)r;
    BcMergedPaths paths = BcMergedFilePaths();
    struct stat st;
    for (const std::string* p : {&paths.contents, &paths.index, &paths.search})
      if (stat(p->c_str(), &st) == 0) return 1;
    return 0;
  });
}
