#include "aa_gate.h"

#include <sys/random.h>

#include <algorithm>
#include <thread>

namespace {

class RealClock : public LoginGate::Clock {
 public:
  LoginGate::TimePoint Now() override { return std::chrono::steady_clock::now(); }
  void SleepUntil(LoginGate::TimePoint when) override { std::this_thread::sleep_until(when); }
};

uint64_t Mix(uint64_t x) {
  // splitmix64's finaliser: every input bit reaches every output bit.
  x ^= x >> 30;
  x *= 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 27;
  x *= 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// Counts an attempt in for as long as it lasts, whatever way it ends.
struct Counted {
  explicit Counted(std::atomic<int>& n) : n_(n), value(++n) {}
  ~Counted() { --n_; }
  std::atomic<int>& n_;
  const int value;
};

}  // namespace

struct LoginGate::Bucket {
  std::mutex turn;  // held for a whole attempt: one address, one attempt at a time
  std::atomic<int> inFlight{0};
  std::mutex state;
  int failures = 0;
  TimePoint lastFailure{};
};

LoginGate::Clock& LoginGate::SteadyClock() {
  static RealClock clock;
  return clock;
}

LoginGate::LoginGate(Limits limits, Clock& clock)
    : limits_(limits),
      clock_(clock),
      buckets_(new Bucket[std::max<size_t>(limits.buckets, 1)]),
      tokens_(limits.burst),
      refilled_(clock.Now()) {
  limits_.buckets = std::max<size_t>(limits_.buckets, 1);
  // The salt keeps an attacker from choosing addresses that share a bucket
  // with someone else's; without randomness they still only share counts.
  if (getrandom(salt_, sizeof salt_, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof salt_))
    salt_[0] = salt_[1] = static_cast<uint64_t>(clock.Now().time_since_epoch().count());
}

LoginGate::~LoginGate() = default;

LoginGate::Bucket& LoginGate::BucketOf(const std::string& address) {
  uint64_t h = salt_[0];
  for (unsigned char c : address) h = Mix(h ^ c ^ salt_[1]);
  return buckets_[Mix(h ^ address.size()) % limits_.buckets];
}

std::chrono::milliseconds LoginGate::DelayFor(int failures) const {
  auto delay = limits_.firstDelay;
  for (int i = 1; i < failures && delay < limits_.maxDelay; ++i) delay *= 2;
  return std::min(delay, limits_.maxDelay);
}

void LoginGate::TakeToken() {
  for (;;) {
    TimePoint wake;
    {
      std::lock_guard<std::mutex> hold(tokenLock_);
      TimePoint now = clock_.Now();
      std::chrono::duration<double> passed = now - refilled_;
      if (passed.count() > 0) {
        tokens_ = std::min<double>(limits_.burst, tokens_ + passed.count() * limits_.checksPerSecond);
        refilled_ = now;
      }
      if (tokens_ >= 1) {
        tokens_ -= 1;
        return;
      }
      wake = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                       std::chrono::duration<double>((1 - tokens_) / limits_.checksPerSecond));
    }
    clock_.SleepUntil(wake);
  }
}

void LoginGate::ReturnToken() {
  std::lock_guard<std::mutex> hold(tokenLock_);
  tokens_ = std::min<double>(limits_.burst, tokens_ + 1);
}

LoginGate::Outcome LoginGate::Attempt(const std::string& address, bool passwordCheck,
                                      const std::function<int()>& check) {
  Bucket& b = BucketOf(address);
  Counted counted(b.inFlight);
  if (counted.value > 1 + limits_.maxWaiting) return Outcome{0, true};
  std::lock_guard<std::mutex> turn(b.turn);
  // Waiting for a token is queueing, like waiting for the turn: the
  // attempt's own time starts once it may run.
  TakeToken();
  TimePoint start = clock_.Now();
  int level = 0;
  if (passwordCheck) {
    try {
      level = check();
    } catch (...) {
      level = 0;  // the one way a refusal goes
    }
  }
  if (level > 0) {
    ReturnToken();
    return Outcome{level, false};
  }
  int failures;
  {
    std::lock_guard<std::mutex> hold(b.state);
    if (b.failures > 0 && start - b.lastFailure > limits_.quiet) b.failures = 0;
    failures = ++b.failures;
    b.lastFailure = start;
  }
  clock_.SleepUntil(start + DelayFor(failures));
  return Outcome{0, false};
}

std::chrono::milliseconds LoginGate::NextDelay(const std::string& address) {
  Bucket& b = BucketOf(address);
  std::lock_guard<std::mutex> hold(b.state);
  int failures = b.failures;
  if (failures > 0 && clock_.Now() - b.lastFailure > limits_.quiet) failures = 0;
  return DelayFor(failures + 1);
}

int LoginGate::Waiting(const std::string& address) { return std::max(0, BucketOf(address).inFlight.load() - 1); }
