// mod_kel_config's core in a temporary installation: its locks, a fresh
// configuration and the diagnostic log.
#pragma once

#include <apr_general.h>
#include <gtest/gtest.h>

#include "cfg_log.h"
#include "cfg_settings.h"
#include "kel_test_env.h"

namespace kel::test {

class ConfigModuleTest : public TempBase {
 protected:
  static void SetUpTestSuite() { apr_initialize(); }
  void SetUp() override {
    TempBase::SetUp();
    apr_pool_create(&pool_, nullptr);
    ASSERT_TRUE(CreateKelLocks(pool_));
    SetLogLock(g_kelLocks.logLock);
    InitDiagnosticLog();
    config_ = CreateKelConfig(pool_, [](const char* name) { ADD_FAILURE() << "default refused: " << name; });
  }
  void TearDown() override {
    SetLogLock(nullptr);
    apr_pool_destroy(pool_);
    g_currentConfig = nullptr;
    TempBase::TearDown();
  }

  apr_pool_t* pool_ = nullptr;
  KelConfigServerConfig* config_ = nullptr;
};

}  // namespace kel::test
