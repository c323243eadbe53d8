// A legacy agent's status report on any bytes (what discovery reads from
// an agent port): the agent's entry, the name it would take in the map
// file, its map lines and the extension base lookup's reply.
#include <cstdlib>
#include <cstring>

#include "bc_core.h"
#include "fuzz_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string report = kelfuzz::Text(data, size);
  WebApp app;
  BcTrace trace;
  if (ParseVexoReport(report.c_str(), 49400, &app, &trace)) {
    if (strnlen(app.sAppName, sizeof app.sAppName) == sizeof app.sAppName) abort();
    if (VexoNameIsMapKey(app.sAppName, kelfuzz::Base())) {
      // A map key is one token of a map line: no blank, no line end.
      if (strpbrk(app.sAppName, " \t\r\n/")) abort();
      VexoMapLines(app.sAppName, 49400);
    }
  }
  ApplyExtensionBase(report.c_str(), &app);
  if (strnlen(app.vexoHomeDirectory, sizeof app.vexoHomeDirectory) == sizeof app.vexoHomeDirectory) abort();
  return 0;
}
