// The settings module's core in the scratch installation: its locks and
// diagnostic log once, and a configuration with every default per input.
#pragma once

#include <cstdlib>

#include "cfg_log.h"
#include "cfg_settings.h"
#include "fuzz_env.h"

namespace kelfuzz {

inline void ConfigModule() {
  static bool ready = [] {
    Root();
    if (!CreateKelLocks(Pool())) abort();
    SetLogLock(g_kelLocks.logLock);
    InitDiagnosticLog();
    return true;
  }();
  (void)ready;
}

// Every default is accepted by its own rule: anything else is a finding.
inline KelConfigServerConfig* FreshConfig(apr_pool_t* pool) {
  ConfigModule();
  return CreateKelConfig(pool, [](const char*) { abort(); });
}

}  // namespace kelfuzz
