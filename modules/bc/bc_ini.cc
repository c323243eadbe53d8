// The legacy INI files of the registered agents.
#include "bc_module.h"

void processVEXOIniFiles(request_rec* r) { (void)r; }
