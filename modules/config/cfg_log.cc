#include "cfg_log.h"

#include <strings.h>
#include <sys/stat.h>

#include <apr_thread_rwlock.h>

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cfg_locks.h"
#include "kel_config.h"
#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_ringlog.h"

namespace {

std::string g_kelLog;
std::string g_debugIni;
std::string g_orvLog;
unsigned g_categories = 0;
apr_thread_rwlock_t* g_logLock = nullptr;

struct Category {
  const char* name;
  unsigned bit;
};

// In table order; there is no category with bit 64.
constexpr Category kCategories[] = {
    {"kel_startup", KEL_DEBUG_STARTUP}, {"kel_config", KEL_DEBUG_CONFIG}, {"kel_aa", KEL_DEBUG_AA},
    {"kel_bc", KEL_DEBUG_BC},           {"kel_ui", KEL_DEBUG_UI},         {"kel_help", KEL_DEBUG_HELP},
    {"kel_sso", KEL_DEBUG_SSO},         {"kel_orv", KEL_DEBUG_ORV},
};

}  // namespace

void SetLogLock(apr_thread_rwlock_t* lock) { g_logLock = lock; }
apr_thread_rwlock_t* LogLock() { return g_logLock; }
const std::string& KelLogFilePath() { return g_kelLog; }
const std::string& OrvLogFilePath() { return g_orvLog; }

unsigned ParseDebugIni(FILE* in) {
  unsigned mask = 0;
  char piece[80];  // a longer line counts as several
  while (fgets(piece, sizeof piece, in)) {
    for (const Category& c : kCategories) {
      // The category's name without its last character selects it.
      if (strncasecmp(piece, c.name, strlen(c.name) - 1) == 0) {
        mask ^= c.bit;
        break;
      }
    }
  }
  return mask;
}

void InitDiagnosticLog() {
  char wbem[kKelPathMax];
  GetWbemDir(wbem, sizeof wbem);
  g_kelLog = KelSharedPath(KelShared::kDiagnosticLog);
  g_debugIni = KelSharedPath(KelShared::kDebugSwitches);
  g_orvLog = std::string(wbem) + "/log/DRKVEXD.LOG";
  g_categories = 0;
  if (FILE* f = OpenFileUnprotected(g_debugIni.c_str(), "r")) {
    g_categories = ParseDebugIni(f);
    fclose(f);
  }
}

bool ReadRingLog(const std::string& path, std::string* out) {
  FILE* f = OpenFileUnprotected(path.c_str(), "rb");
  if (!f) return false;
  std::string bytes;
  char chunk[8192];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
  fclose(f);
  if (bytes.size() < static_cast<size_t>(kRingLogHeaderSize)) return true;
  size_t w = strtoul(bytes.substr(0, 8).c_str(), nullptr, 16);
  if (w == 0) return true;
  // A header past the end (a file cut by someone else) reads as the end.
  if (w > bytes.size()) w = bytes.size();
  if (w < static_cast<size_t>(kRingLogHeaderSize)) w = kRingLogHeaderSize;
  std::string text = bytes.substr(w) + bytes.substr(kRingLogHeaderSize, w - kRingLogHeaderSize);
  size_t firstLine = text.find('\n');
  text = firstLine == std::string::npos ? "" : text.substr(firstLine + 1);
  out->reserve(out->size() + text.size());
  // The log view's own rule: only "<" and ">" become entities.
  for (char c : text) {
    if (c == '<')
      *out += "&lt;";
    else if (c == '>')
      *out += "&gt;";
    else
      *out += c;
  }
  return true;
}

void ConfigDebugLine(void (*sink)(void*, const char*), void* context, const char* format, ...) {
  if (!sink || !DebugCategory(KEL_DEBUG_CONFIG)) return;
  char line[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  sink(context, line);
}

extern "C" {

KEL_CONFIG_EXPORT int LogOutput(int severity, const char* format, ...) {
  if (g_kelLog.empty() || !format) return -1;
  va_list args;
  va_start(args, format);
  int n = -1;
  try {
    KelLockHold hold(g_logLock, true);
    n = RingLogWriteV(g_kelLog.c_str(), severity, format, args);
  } catch (const std::exception& e) {
    // The log itself failed: the web server's error log (its standard error) is left.
    fprintf(stderr, "kel_config: LogOutput: caught %s\n", e.what());
  } catch (...) {
    fprintf(stderr, "kel_config: LogOutput: caught an unknown exception\n");
  }
  va_end(args);
  return n;
}

KEL_CONFIG_EXPORT int DebugCategory(int mask) { return static_cast<int>(static_cast<unsigned>(mask) & g_categories); }

KEL_CONFIG_EXPORT int DebugOutput(const char* format, ...) { return 0; }

}  // extern "C"
