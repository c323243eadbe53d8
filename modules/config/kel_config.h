// The exports of mod_kel_config that the other modules call. Everything they
// return is allocated from the caller's pool.
#pragma once

#include "apr_pools.h"
#include "httpd.h"
#include "kel_login.h"

#define KEL_CONFIG_EXPORT __attribute__((visibility("default")))

// Debug categories (DebugCategory masks).
#define KEL_DEBUG_STARTUP 1
#define KEL_DEBUG_CONFIG 2
#define KEL_DEBUG_AA 4
#define KEL_DEBUG_BC 8
#define KEL_DEBUG_UI 16
#define KEL_DEBUG_HELP 32
#define KEL_DEBUG_SSO 128
#define KEL_DEBUG_ORV 256

extern "C" {

// A copy of a setting's stored value from pool (the text of a text
// setting, or the 32-bit integer of a boolean and of "ui-timeout", in a
// zero-filled buffer); null for a null or unknown name.
KEL_CONFIG_EXPORT char* GetKELInternalCfgValue(apr_pool_t* pool, server_rec* server, const char* name);
// Validates, stores and writes one setting (asking for a restart when the
// setting needs one); 1 on success, 0 on failure.
KEL_CONFIG_EXPORT int SetSingleKELCfgValue(server_rec* server, const char* name, const char* value);

// One record in logs/kel.log (severity 0 information, 1 warning, 2 error,
// 3 critical); the message's length, or -1 when it could not be written.
KEL_CONFIG_EXPORT int LogOutput(int severity, const char* format, ...) __attribute__((format(printf, 2, 3)));
// mask AND the categories switched on in conf/debug.ini.
KEL_CONFIG_EXPORT int DebugCategory(int mask);
// Timing traces: accepted and dropped; 0.
KEL_CONFIG_EXPORT int DebugOutput(const char* format, ...);
// Writes the diagnostic log (which 0) or the legacy agents' log (which 1)
// into the response, oldest first, HTML-escaped; always 1.
KEL_CONFIG_EXPORT int GetLogFile(request_rec* r, int which);
// 1 when the legacy agents' log exists.
KEL_CONFIG_EXPORT int CheckForOrvLogFile(request_rec* r);

}
