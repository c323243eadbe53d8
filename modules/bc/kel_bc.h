// The exports of mod_kel_bc.
#pragma once

#include "httpd.h"

#define KEL_BC_EXPORT __attribute__((visibility("default")))

extern "C" {

// Discovers the legacy agents, registers them, rewrites the map file and
// rebuilds the legacy navigation and help files. Returns the status of the
// last socket operation (not meant to be interpreted).
KEL_BC_EXPORT int getVEXOs(request_rec* r);

// 1 when user is "administrator" (any case) and MD5("user:password") is
// the ACL's administrator hash, 2 for "operator" and the operator hash,
// else 0.
KEL_BC_EXPORT int OrvAuthUser(request_rec* r, const char* user, const char* password);

// Writes the merged legacy navigation ("/navfile.htm" through a sub-request,
// its tags resolved) into r's own output; the sub-request's result.
KEL_BC_EXPORT int GetNavigationFile(request_rec* r);

// 1 when at least one of the three merged help files exists, else 0.
KEL_BC_EXPORT int CheckForOrvHelpFiles(request_rec* r);

}
