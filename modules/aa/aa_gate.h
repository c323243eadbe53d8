// The gate every sign-in attempt passes in the password helper, so that
// guessing is slow and a refusal tells nothing about why it happened:
//  - attempts from one client address run one after the other;
//  - a refusal, whatever its reason, is answered at the attempt's start plus
//    the address's current delay (doubling with each refusal, up to a
//    ceiling), however long the check itself took;
//  - password checks across all addresses wait for a token of one global
//    bucket; a refused check keeps its token, an accepted one gives it back,
//    so legitimate sign-ins run at the speed of the password hash;
//  - addresses are counted in a fixed table of buckets under a salted hash,
//    so neither the memory nor an attacker's flood of addresses can grow or
//    reset it (a collision only makes two addresses share one, stricter,
//    count); a count is forgotten after a quiet period.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

class LoginGate {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  // Time as the gate sees it; tests drive their own.
  class Clock {
   public:
    virtual ~Clock() = default;
    virtual TimePoint Now() = 0;
    virtual void SleepUntil(TimePoint when) = 0;
  };
  static Clock& SteadyClock();

  struct Limits {
    std::chrono::milliseconds firstDelay{500};
    std::chrono::milliseconds maxDelay{4000};
    double checksPerSecond = 10;  // the global ceiling on refused checks
    int burst = 10;
    std::chrono::minutes quiet{15};
    size_t buckets = 4096;
    // Attempts of one address that may wait behind the running one; more
    // are refused at once, without a check, so one address cannot hold
    // every worker thread.
    int maxWaiting = 4;
  };

  struct Outcome {
    int level = 0;               // the level granted; 0 for a refusal
    bool refusedAtOnce = false;  // too many waiting: no check ran
  };

  explicit LoginGate(Limits limits, Clock& clock = SteadyClock());
  ~LoginGate();
  LoginGate(const LoginGate&) = delete;
  LoginGate& operator=(const LoginGate&) = delete;

  // Runs check (the level it grants, 0 for a refusal) as one attempt from
  // address. With passwordCheck false (an attempt refused before any check)
  // check is not called, and the attempt is answered exactly as a refused
  // check would be.
  Outcome Attempt(const std::string& address, bool passwordCheck, const std::function<int()>& check);

  // The delay the next refusal from address would be answered with.
  std::chrono::milliseconds NextDelay(const std::string& address);
  // Attempts from address's bucket waiting behind the running one.
  int Waiting(const std::string& address);

 private:
  struct Bucket;
  Bucket& BucketOf(const std::string& address);
  std::chrono::milliseconds DelayFor(int failures) const;
  void TakeToken();
  void ReturnToken();

  Limits limits_;
  Clock& clock_;
  uint64_t salt_[2];
  std::unique_ptr<Bucket[]> buckets_;
  std::mutex tokenLock_;
  double tokens_;
  TimePoint refilled_;
};
