// What every module of the portal shares with the web server: the export
// marker and the handler-name test.
#pragma once

#include <cstring>

#include "httpd.h"

// Apache's own marker is empty on this platform; modules are built with
// hidden visibility, so module records and exports say so themselves.
#define KEL_EXPORT __attribute__((visibility("default")))

// Each content handler declines unless the request names it.
inline bool KelIsHandler(const request_rec* r, const char* name) {
  return r->handler != nullptr && std::strcmp(r->handler, name) == 0;
}
