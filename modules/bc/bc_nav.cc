// The merged navigation and help files of the legacy agents.
#include "bc_module.h"

void ResetNavigationFile(apr_pool_t* pool) { (void)pool; }

void ResetHelpFiles(apr_pool_t* pool) { (void)pool; }
