#include "kel_guard.h"

#include <exception>
#include <string>

#include "httpd.h"
#include "http_log.h"
#include "kel_request.h"

namespace {

// What the exception being handled says.
const char* Caught() noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
  }
  return "an unknown exception";
}

}  // namespace

void KelCaught(const char* where) noexcept {
  // No module index: the caller's name is in the text.
  ap_log_error_(__FILE__, __LINE__, APLOG_NO_MODULE, APLOG_ERR, 0, nullptr, "%s: caught %s", where, Caught());
}

void KelCaught(const request_rec* r, const char* module) noexcept {
  const char* what = Caught();
  try {
    std::string where = KelLogContext(r, module);
    ap_log_error_(__FILE__, __LINE__, APLOG_NO_MODULE, APLOG_ERR, 0, r->server, "%s: %s: caught %s", where.c_str(),
                  r->uri ? r->uri : "-", what);
  } catch (...) {
    KelCaught(module);
  }
}
