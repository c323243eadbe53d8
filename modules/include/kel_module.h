// What every module of the portal shares with the web server: the export
// marker and the handler-name test.
#pragma once

#include <strings.h>

#include <cstddef>
#include <cstring>

#include "httpd.h"
#include "ap_expr.h"
#include "http_config.h"
#include "http_core.h"
#include "http_request.h"
#include "kel_guard.h"

// Apache's own marker is empty on this platform; modules are built with
// hidden visibility, so module records and exports say so themselves.
#define KEL_EXPORT __attribute__((visibility("default")))

// Each content handler declines unless the request names it.
inline bool KelIsHandler(const request_rec* r, const char* name) {
  return r->handler != nullptr && std::strcmp(r->handler, name) == 0;
}

// One row of a module's URI table. The function sets status, headers and
// body itself.
struct KelRoute {
  const char* uri;
  int (*handle)(request_rec* r);
};

// The content handler of every module: declines unless the request names
// the module's handler; then the first row whose URI equals the request's
// (without regard to case) answers it and the result is OK. No row: DECLINED.
// An exception out of a row is logged and answered 500.
inline int KelDispatch(request_rec* r, const char* handlerName, const KelRoute* routes, size_t count) {
  if (!KelIsHandler(r, handlerName) || r->uri == nullptr) return DECLINED;
  for (size_t i = 0; i < count; ++i) {
    if (strcasecmp(r->uri, routes[i].uri) == 0) {
      try {
        routes[i].handle(r);
      } catch (...) {
        KelCaught(r, handlerName);
        return HTTP_INTERNAL_SERVER_ERROR;
      }
      return OK;
    }
  }
  return DECLINED;
}

// A module's type checker for the URLs its handler answers: a URL that
// names no file needs no content negotiation, and without this MultiViews
// reads the whole document directory for each of them. The handler is the
// one the configuration sets for the URL; the handler itself sets the
// content type.
inline int KelTypeOfHandlerUrl(request_rec* r, const char* handlerName) {
  if (r->finfo.filetype != APR_NOFILE) return DECLINED;
  auto* conf = static_cast<core_dir_config*>(ap_get_core_module_config(r->per_dir_config));
  if (!conf || !conf->expr_handler) return DECLINED;
  const char* error = nullptr;
  const char* handler = ap_expr_str_exec(r, conf->expr_handler, &error);
  return !error && handler && strcasecmp(handler, handlerName) == 0 ? OK : DECLINED;
}

// Registers a module's KelTypeOfHandlerUrl caller ahead of negotiation.
inline void KelHookHandlerUrlType(int (*typeChecker)(request_rec* r)) {
  static const char* const kBefore[] = {"mod_negotiation.c", "mod_mime.c", nullptr};
  ap_hook_type_checker(typeChecker, nullptr, kBefore, APR_HOOK_FIRST);
}
