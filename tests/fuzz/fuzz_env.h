// What the fuzz targets share: one APR pool, a temporary installation
// (base, write, WBEM and SSL share directories under one scratch directory,
// removed at exit) and, for the settings module's parsers, its locks, log
// and a fresh configuration per input.
#pragma once

#include <apr_general.h>
#include <apr_pools.h>
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

namespace kelfuzz {

inline apr_pool_t* Pool() {
  static apr_pool_t* pool = [] {
    apr_initialize();
    apr_pool_t* p = nullptr;
    apr_pool_create(&p, nullptr);
    return p;
  }();
  return pool;
}

// The scratch installation, made at the first call.
inline const std::string& Root() {
  static const std::string root = [] {
    std::string tmpl = (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + std::string("/kel-fuzz-XXXXXX");
    if (!mkdtemp(tmpl.data())) abort();
    for (const char* dir : {"base/conf", "base/logs", "base/bin", "base/webapp", "base/certs", "base/data",
                            "base/session", "wbem/homepage", "ssl"})
      std::filesystem::create_directories(tmpl + "/" + dir);
    setenv("KELSVC_BASE_DIR", (tmpl + "/base").c_str(), 1);
    setenv("KELSVC_WRITE_DIR", (tmpl + "/base").c_str(), 1);
    setenv("KELSVC_WBEM_DIR", (tmpl + "/wbem").c_str(), 1);
    setenv("SSL_SHARE_BASE_DIR", (tmpl + "/ssl").c_str(), 1);
    static std::string removed = tmpl;
    atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(removed, ec);
    });
    return tmpl;
  }();
  return root;
}
inline std::string Base() { return Root() + "/base"; }

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string Text(const uint8_t* data, size_t size) { return std::string(reinterpret_cast<const char*>(data), size); }

// A scratch pool for one input, destroyed with the object.
class Scratch {
 public:
  Scratch() { apr_pool_create(&pool_, Pool()); }
  ~Scratch() { apr_pool_destroy(pool_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  apr_pool_t* get() const { return pool_; }

 private:
  apr_pool_t* pool_ = nullptr;
};

}  // namespace kelfuzz
