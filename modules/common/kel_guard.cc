#include "kel_guard.h"

#include <exception>

#include "httpd.h"
#include "http_log.h"

void KelCaught(const char* where) noexcept {
  const char* what = "an unknown exception";
  try {
    throw;
  } catch (const std::exception& e) {
    what = e.what();
  } catch (...) {
  }
  // No module index: the caller's name is in the text.
  ap_log_error_(__FILE__, __LINE__, APLOG_NO_MODULE, APLOG_ERR, 0, nullptr, "%s: caught %s", where, what);
}
