// Test tool: the file steps of the service's start-up sequence over the
// directories of the environment (certificate, settings, configuration, map
// file, PHP files, session directories), without starting anything.
#include <cstdio>

#include "svc_cert.h"
#include "svc_config.h"
#include "svc_lock.h"
#include "svc_log.h"
#include "svc_settings.h"

int main() {
  ServiceLogInit();
  ComputeOsDefaults();
  PrepareRunDirectory();
  ProtectWritableDirectories();
  if (CheckServerCertificate() != 1) {
    fprintf(stderr, "kel_prepare: no usable server certificate\n");
    return 1;
  }
  if (LoadSettings() != 0) {
    fprintf(stderr, "kel_prepare: LoadSettings failed\n");
    return 1;
  }
  if (ResetLegacyMapFile() != 0) {
    fprintf(stderr, "kel_prepare: the map file cannot be written\n");
    return 1;
  }
  ScanPhpExtensions();
  WritePhpIni();
  CreateSessionDirectories();
  return 0;
}
