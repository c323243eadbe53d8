#include <cstdio>

#include "bc_core.h"

BcLocks g_bcLocks;

bool CreateBcLocks(apr_pool_t* pool) {
  BcLocks made{};
  for (apr_thread_rwlock_t** lock : {&made.vexo, &made.navFile, &made.helpFiles, &made.iniFile})
    if (apr_thread_rwlock_create(lock, pool) != APR_SUCCESS) return false;
  g_bcLocks = made;
  return true;
}

std::string BcFormat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return "";
  std::string text(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string BcPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = BcFormat(format, args);
  va_end(args);
  return text;
}

namespace {

void Write(const BcLogSink& sink, BcLogKind kind, const std::string& text) {
  if (kind == BcLogKind::kDiagnostic) {
    LogOutput(2, "%s", text.c_str());
    return;
  }
  if (kind == BcLogKind::kDebug && !DebugCategory(KEL_DEBUG_BC)) return;
  if (kind == BcLogKind::kDebugOrv && !DebugCategory(KEL_DEBUG_ORV)) return;
  if (sink.write) sink.write(sink.context, kind, text.c_str());
}

}  // namespace

void BcLog(const BcLogSink& sink, BcLogKind kind, const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = BcFormat(format, args);
  va_end(args);
  Write(sink, kind, text);
}

void BcTraceLog(BcTrace* trace, BcLogKind kind, const char* format, ...) {
  va_list args;
  va_start(args, format);
  trace->push_back(BcStep{BcStep::kLog, kind, BcFormat(format, args), {}});
  va_end(args);
}

// Replays one kLog step (used by the discovery).
void BcReplayLog(const BcLogSink& sink, const BcStep& step) { Write(sink, step.logKind, step.text); }
