#include "svc_backoff.h"

#include <algorithm>

void RestartBackoff::Served() {
  served_ = true;
  failures_ = 0;
}

RestartBackoff::Decision RestartBackoff::Ended() {
  if (served_) return {false, 0, kServedDelay};
  ++failures_;
  if (failures_ >= kMaxFailures) return {true, failures_, std::chrono::seconds(0)};
  return {false, failures_, std::min<std::chrono::seconds>(kMaxDelay, std::chrono::seconds(1 << (failures_ - 1)))};
}
