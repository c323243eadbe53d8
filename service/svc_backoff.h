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

class RestartBackoff {
 public:
  // A web server that ends sooner than this after its start has failed.
  static constexpr std::chrono::seconds kStableRun{60};
  static constexpr int kMaxFailures = 5;
  static constexpr std::chrono::seconds kMaxDelay{60};

  struct Decision {
    bool giveUp;
    int failures;                // failed starts in a row, this one included
    std::chrono::seconds delay;  // until the next start
  };

  explicit RestartBackoff(const kel::Clock& clock) : clock_(clock) {}

  // A start was made now.
  void Started();
  // The web server ended: started tells whether it had come up at all.
  // Failures in a row double the delay (1, 2, 4, ... s, at most kMaxDelay);
  // after kMaxFailures of them the service gives up.
  Decision Ended(bool started);

 private:
  const kel::Clock& clock_;
  kel::Clock::TimePoint startedAt_{};
  int failures_ = 0;
};
