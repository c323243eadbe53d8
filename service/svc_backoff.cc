#include "svc_backoff.h"

#include <algorithm>

void RestartBackoff::Started() { startedAt_ = clock_.Now(); }

RestartBackoff::Decision RestartBackoff::Ended(bool started) {
  bool failed = !started || clock_.Now() - startedAt_ < kStableRun;
  failures_ = failed ? failures_ + 1 : 0;
  if (failures_ >= kMaxFailures) return {true, failures_, std::chrono::seconds(0)};
  auto delay = failures_ == 0 ? std::chrono::seconds(1)
                              : std::min<std::chrono::seconds>(kMaxDelay, std::chrono::seconds(1 << (failures_ - 1)));
  return {false, failures_, delay};
}
