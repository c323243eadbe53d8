// The merged navigation and help files of the legacy agents.
#include "bc_module.h"
#include "kel_bc.h"

void ResetNavigationFile(apr_pool_t* pool) { (void)pool; }

void ResetHelpFiles(apr_pool_t* pool) { (void)pool; }

// Filled in with the navigation merge; until then there is nothing to show.
extern "C" KEL_BC_EXPORT int GetNavigationFile(request_rec* r) {
  (void)r;
  return OK;
}

extern "C" KEL_BC_EXPORT int CheckForOrvHelpFiles(request_rec* r) {
  (void)r;
  return 0;
}
