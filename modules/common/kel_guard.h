// The C boundary of the modules: a hook, filter or exported function that
// catches an exception logs it here before it returns the failure result
// the design gives (DECLINED, an HTTP status, 0, nullptr).
#pragma once

// Call only inside a catch block: logs the exception being handled as
// "<where>: caught <what>" in the web server's error log.
void KelCaught(const char* where) noexcept;
