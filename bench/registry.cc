// GetWebAppCfgList calls per second for 10 and for 200 registered
// applications, beside a plain copy of the same bytes, in the same run.
//   bench_registry [seconds-per-figure]
#include <apr_general.h>
#include <apr_pools.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cfg_log.h"
#include "cfg_settings.h"
#include "cfg_webapps.h"

namespace {

using Clock = std::chrono::steady_clock;

// Calls per second of f over about `seconds`.
template <typename F>
double Rate(double seconds, F f) {
  long calls = 0;
  auto start = Clock::now();
  auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    for (int i = 0; i < 64; ++i) f();
    calls += 64;
  }
  return calls / std::chrono::duration<double>(Clock::now() - start).count();
}

void Fill(KelConfigServerConfig* config, int apps, apr_pool_t* pool) {
  for (int i = 0; i < apps; ++i) {
    WebApp r;
    memset(&r, 0, sizeof r);
    snprintf(r.sAppName, sizeof r.sAppName, "app%d", i);
    snprintf(r.chpurl, sizeof r.chpurl, "/app%d/home.htm", i);
    r.isactive = 1;
    r.properties = apr_array_make(pool, 3, sizeof(WebAppProperty));
    for (int p = 0; p < 3; ++p) {
      auto* prop = static_cast<WebAppProperty*>(apr_array_push(r.properties));
      snprintf(prop->name, sizeof prop->name, "p%d", p);
    }
    AddWebApp(config, &r, nullptr, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? atof(argv[1]) : 1.0;
  if (seconds <= 0) seconds = 1.0;
  apr_initialize();
  apr_pool_t* pool;
  apr_pool_create(&pool, nullptr);
  CreateKelLocks(pool);
  for (int apps : {10, 200}) {
    KelConfigServerConfig* config = CreateKelConfig(pool, nullptr);
    Fill(config, apps, pool);
    // The same bytes as a list's copy: the records and their properties.
    size_t bytes = apps * (sizeof(WebApp) + 3 * sizeof(WebAppProperty));
    std::vector<char> from(bytes, 'x'), to(bytes);
    apr_pool_t* scratch;
    apr_pool_create(&scratch, pool);
    double list = Rate(seconds, [&] {
      WebApp* l = nullptr;
      ListWebApps(scratch, config, &l);
      apr_pool_clear(scratch);
    });
    double copy = Rate(seconds, [&] {
      memcpy(to.data(), from.data(), bytes);
      asm volatile("" : : "r"(to.data()) : "memory");
    });
    printf("%3d applications (%zu bytes): GetWebAppCfgList %10.0f calls/s, plain copy %10.0f calls/s, ratio %.2f\n",
           apps, bytes, list, copy, list / copy);
    apr_pool_destroy(scratch);
  }
  apr_pool_destroy(pool);
  return 0;
}
