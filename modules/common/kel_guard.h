// The C boundary of the modules: a hook, filter or exported function that
// catches an exception logs it here before it returns the failure result
// the design gives (DECLINED, an HTTP status, 0, nullptr).
#pragma once

#include "httpd.h"

// Call only inside a catch block: logs the exception being handled as
// "<where>: caught <what>" in the web server's error log; with a request,
// where is the module and the line carries the request's context.
void KelCaught(const char* where) noexcept;
void KelCaught(const request_rec* r, const char* module) noexcept;

// fn's result, or onFailure (after KelCaught) when it throws.
template <typename R, typename Fn>
R KelGuard(const char* where, R onFailure, Fn&& fn) noexcept {
  try {
    return fn();
  } catch (...) {
    KelCaught(where);
    return onFailure;
  }
}
