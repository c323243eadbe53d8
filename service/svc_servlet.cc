#include "svc_config.h"

// The servlet container is not prepared on this platform yet, so the
// configuration never loads its connector.
bool PrepareServletContainer() { return false; }
