// When to start a web server again that ended on its own, and when to give
// up. Time comes from a clock that tests drive.
#pragma once

#include <chrono>

namespace kel {

class Clock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual TimePoint Now() const = 0;
};

class SteadyClock : public Clock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace kel

// A server that came up and served has shown that its files and program
// work: when it dies, whatever killed it, it is brought back, always. Only
// starts that never get as far as serving are failures; those in a row
// double the delay (1, 2, 4, ... s, at most kMaxDelay) and after
// kMaxFailures of them the service gives up, since nothing would change on
// the next try.
class RestartBackoff {
 public:
  static constexpr int kMaxFailures = 5;
  static constexpr std::chrono::seconds kMaxDelay{60};
  // After a server that had served: short, so the portal is back at once,
  // yet never a busy loop.
  static constexpr std::chrono::seconds kServedDelay{1};

  struct Decision {
    bool giveUp;
    int failures;                // failed starts in a row, this one included
    std::chrono::seconds delay;  // until the next start
  };

  // A start was made.
  void Started() { served_ = false; }
  // The server started last answers: the failures before it are forgotten.
  void Served();
  // The server started last has ended (or was ended).
  Decision Ended();

 private:
  bool served_ = false;
  int failures_ = 0;
};
