// A temporary installation for unit tests: base, write, WBEM and SSL share
// directories pointed at by the environment, removed afterwards.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "svc_log.h"

namespace kel::test {

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

class TempBase : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kel-unit-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    base_ = root_ + "/base";
    std::filesystem::create_directories(base_ + "/conf");
    std::filesystem::create_directories(base_ + "/logs");
    std::filesystem::create_directories(base_ + "/bin");
    std::filesystem::create_directories(base_ + "/webapp");
    setenv("KELSVC_BASE_DIR", base_.c_str(), 1);
    setenv("KELSVC_WRITE_DIR", base_.c_str(), 1);
    setenv("SSL_SHARE_BASE_DIR", (root_ + "/ssl").c_str(), 1);
    setenv("KELSVC_WBEM_DIR", (root_ + "/wbem").c_str(), 1);
    unsetenv("KELSVCM_LOG_DIR");
    ServiceLogInit();
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
    for (const char* v : {"KELSVC_BASE_DIR", "KELSVC_WRITE_DIR", "SSL_SHARE_BASE_DIR", "KELSVC_WBEM_DIR"}) unsetenv(v);
  }
  std::string Path(const std::string& rel) const { return base_ + "/" + rel; }
  std::string Log() const { return ReadFile(Path("logs/kel.log")); }

  std::string root_, base_;
};

}  // namespace kel::test
