// Records per second of LogOutput (the module's writer: lock, open, header,
// record, header, close) beside a plain append of the same bytes to a file
// (open, write, close), measured in the same run.
//   bench_log_write [records]
#include <fcntl.h>
#include <unistd.h>

#include <apr_general.h>
#include <apr_pools.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "cfg_log.h"
#include "cfg_settings.h"
#include "kel_config.h"

namespace {

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  int records = argc > 1 ? atoi(argv[1]) : 20000;
  if (records <= 0) records = 20000;
  char tmpl[] = "/tmp/kel-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  std::string dir = tmpl;
  std::filesystem::create_directories(dir + "/logs");
  std::filesystem::create_directories(dir + "/conf");
  setenv("KELSVC_WRITE_DIR", dir.c_str(), 1);
  setenv("KELSVC_BASE_DIR", dir.c_str(), 1);

  apr_initialize();
  apr_pool_t* pool;
  apr_pool_create(&pool, nullptr);
  CreateKelLocks(pool);
  SetLogLock(g_kelLocks.logLock);
  InitDiagnosticLog();

  const char* message = "getVEXOs: start with new mapfile.\n";
  // The same bytes a record takes: its head and the message.
  std::string record = std::string("\n\nERROR LOG (severity=2)  Thu Dec 10 01:00:00 2026\n") + message;
  std::string plain = dir + "/logs/plain.log";

  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < records; ++i) {
    int fd = open(plain.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0660);
    if (fd < 0 || write(fd, record.data(), record.size()) < 0) return 1;
    close(fd);
  }
  auto t1 = std::chrono::steady_clock::now();
  for (int i = 0; i < records; ++i)
    if (LogOutput(2, "%s", message) < 0) return 1;
  auto t2 = std::chrono::steady_clock::now();

  double plainRate = records / Seconds(t1 - t0);
  double logRate = records / Seconds(t2 - t1);
  printf("records: %d of %zu bytes\n", records, record.size());
  printf("LogOutput     %10.0f records/s\n", logRate);
  printf("plain append  %10.0f records/s\n", plainRate);
  printf("ratio LogOutput / plain append: %.2f\n", logRate / plainRate);

  apr_pool_destroy(pool);
  std::filesystem::remove_all(dir);
  return 0;
}
