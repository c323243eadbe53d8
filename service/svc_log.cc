#include "svc_log.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "kel_dirs.h"
#include "kel_ringlog.h"

bool g_debugMode = false;

namespace {
std::mutex g_logLock;
std::string g_logPath;

std::string LogPathFromEnvironment() { return KelSharedPath(KelShared::kDiagnosticLog); }

}  // namespace

void ServiceLogInit() {
  std::string path = LogPathFromEnvironment();
  std::lock_guard<std::mutex> hold(g_logLock);
  g_logPath = path;
}

int ServiceLog(int severity, const char* format, ...) {
  std::lock_guard<std::mutex> hold(g_logLock);
  if (g_logPath.empty()) g_logPath = LogPathFromEnvironment();
  va_list args;
  va_start(args, format);
  int n = RingLogWriteV(g_logPath.c_str(), severity, format, args);
  va_end(args);
  return n;
}

void ServiceMessageBox(const char* title, const char* text) {
  if (g_debugMode) fprintf(stderr, "%s: %s\n", title ? title : "", text ? text : "");
}
