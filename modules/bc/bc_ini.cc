// The legacy INI files of the registered agents, read after every
// discovery, and the merged navigation and help files made from them.
#include "apr_strings.h"
#include "bc_help.h"
#include "bc_module.h"
#include "kel_dirs.h"
#include "kel_guard.h"

void processVEXOIniFiles(request_rec* r) {
  try {
    BcLogSink log = BcErrorLog(r->server);
    WebApp* apps = nullptr;
    int count = GetWebAppCfgList(r->pool, r->server, &apps);
    std::vector<std::string> unlist;
    apr_array_header_t* list =
        CollectVexoIniFiles(r->pool, apps, count, KelSharedPath(KelShared::kLegacyHelpDir), &unlist, log);
    for (const std::string& name : unlist) UnlistSingleWebApp(r->server, name.c_str());
    ReadAllIniFiles(r->pool, list, log);
    BcMergedPaths paths = BcMergedFilePaths();
    buildAggregateNavigationFile(list, paths.navFile, log);
    buildAggregateHelpFiles(list, paths, log);
  } catch (const std::bad_alloc&) {
    LogOutput(2, "Unable to allocate necessary memory.\n");
  } catch (...) {
    KelCaught("kel_bc: processVEXOIniFiles");
  }
}
