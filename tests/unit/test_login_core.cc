// Runs under nss_wrapper and pam_wrapper with the accounts of
// tests/fixtures/nss and tests/fixtures/pam (see CMakeLists.txt).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "aa_authhelper.h"
#include "aa_gate.h"
#include "aa_levels.h"
#include "aa_origin.h"
#include "aa_pam.h"
#include "aa_session.h"
#include "kel_host.h"
#include "kel_test_env.h"

namespace {

using namespace std::chrono_literals;

TEST(PamTest, PasswordsOfTheService) {
  EXPECT_EQ(PamAuthenticate(kPamService, "kelalice", "secret-alice"), 1);
  EXPECT_EQ(PamAuthenticate(kPamService, "kelalice", "secret-bob"), 0);
  EXPECT_EQ(PamAuthenticate(kPamService, "nobody-here", "x"), 0);
  EXPECT_EQ(PamAuthenticate(kPamService, "kelalice", ""), 0);
  EXPECT_EQ(PamAuthenticate(kPamService, "", "secret-alice"), 0);
  EXPECT_EQ(PamAuthenticate("no-such-service", "kelalice", "secret-alice"), 0);
}

TEST(LevelTest, HighestLevelThatApplies) {
  char host[256];
  GetLocalHostName(host, sizeof host);
  struct {
    const char* user;
    LevelSettings settings;
    int level;
  } cases[] = {
      {"kelalice", {"kelops", "", "", false}, kLevelAdministrator},
      {"kelalice", {"", "kelops", "kelusers", false}, kLevelOperator},
      {"kelalice", {"kelusers", "kelops", "", false}, kLevelAdministrator},  // two groups: the higher
      {"kelbob", {"kelops", "", "kelusers", false}, kLevelUser},
      {"kelbob", {"other;;KELUSERS", "", "", false}, kLevelAdministrator},
      {"kelbob", {std::string(host) + "\\kelusers", "", "", false}, kLevelAdministrator},
      {"kelbob", {"ELSEWHERE\\kelusers", "", "", false}, kLevelNone},
      {"kelcarol", {"kelops", "kelops", "kelusers", true}, kLevelNone},
      {"root", {"", "", "", true}, kLevelAdministrator},
      {"root", {"", "", "", false}, kLevelNone},
      {"keldave", {"", "", "", true}, kLevelAdministrator},  // the OS's administrator group
      {"keldave", {"", "", "", false}, kLevelNone},
      {"nobody-here", {"kelops", "", "", true}, kLevelNone},
  };
  for (const auto& c : cases)
    EXPECT_EQ(AccessLevel(c.user, c.settings), c.level) << c.user << " " << c.settings.adminGroups;
}

// Time that passes only when the gate sleeps (or a test says so).
class FakeClock : public LoginGate::Clock {
 public:
  LoginGate::TimePoint Now() override {
    std::lock_guard<std::mutex> hold(lock_);
    return now_;
  }
  void SleepUntil(LoginGate::TimePoint when) override {
    std::lock_guard<std::mutex> hold(lock_);
    now_ = std::max(now_, when);
  }
  void Advance(std::chrono::milliseconds by) {
    std::lock_guard<std::mutex> hold(lock_);
    now_ += by;
  }

 private:
  std::mutex lock_;
  LoginGate::TimePoint now_{};
};

LoginGate::Limits Fast(std::chrono::milliseconds first = 500ms, std::chrono::milliseconds max = 4000ms) {
  LoginGate::Limits l;
  l.firstDelay = first;
  l.maxDelay = max;
  l.checksPerSecond = 1e6;
  l.burst = 1000000;
  return l;
}

TEST(GateTest, ARefusalIsAnsweredAtOneTimeWhateverTheCheckTook) {
  FakeClock clock;
  LoginGate gate(Fast(), clock);
  struct {
    const char* address;
    std::chrono::milliseconds checkTakes;
    bool passwordCheck;
    std::chrono::milliseconds answeredAfter;
  } cases[] = {
      {"10.0.0.1", 0ms, true, 500ms},    // refused at once (say, an unknown account)
      {"10.0.0.2", 120ms, true, 500ms},  // a password hash, then a refusal
      {"10.0.0.3", 0ms, false, 500ms},   // refused before any check
      {"10.0.0.4", 499ms, true, 500ms},
      {"10.0.0.5", 700ms, true, 700ms},  // a check longer than the delay ends the wait
  };
  for (const auto& c : cases) {
    auto start = clock.Now();
    bool called = false;
    LoginGate::Outcome o = gate.Attempt(c.address, c.passwordCheck, [&]() {
      called = true;
      clock.Advance(c.checkTakes);
      return 0;
    });
    EXPECT_EQ(o.level, 0) << c.address;
    EXPECT_EQ(called, c.passwordCheck) << c.address;
    EXPECT_EQ(clock.Now() - start, c.answeredAfter) << c.address;
  }
  // An accepted attempt is answered as soon as its check is done.
  auto start = clock.Now();
  LoginGate::Outcome o = gate.Attempt("10.0.0.6", true, [&]() {
    clock.Advance(80ms);
    return 4;
  });
  EXPECT_EQ(o.level, 4);
  EXPECT_EQ(clock.Now() - start, 80ms);
  // A check that throws is a refusal like any other.
  start = clock.Now();
  o = gate.Attempt("10.0.0.7", true, []() -> int { throw std::runtime_error("no memory"); });
  EXPECT_EQ(o.level, 0);
  EXPECT_EQ(clock.Now() - start, 500ms);
}

TEST(GateTest, DelayDoublesPerAddressAndIsForgottenAfterAQuietPeriod) {
  FakeClock clock;
  LoginGate gate(Fast(), clock);
  auto refuse = [&](const char* address) { return gate.Attempt(address, true, []() { return 0; }).level; };
  std::chrono::milliseconds expected[] = {500ms, 1000ms, 2000ms, 4000ms, 4000ms};
  for (auto delay : expected) {
    EXPECT_EQ(gate.NextDelay("10.0.0.1"), delay);
    refuse("10.0.0.1");
  }
  EXPECT_EQ(gate.NextDelay("10.0.0.2"), 500ms);  // another address has its own count
  // A success does not wipe the count: an attacker's own account cannot
  // reset the slow-down between guesses.
  EXPECT_EQ(gate.Attempt("10.0.0.1", true, []() { return 2; }).level, 2);
  EXPECT_EQ(gate.NextDelay("10.0.0.1"), 4000ms);
  clock.Advance(14min);
  EXPECT_EQ(gate.NextDelay("10.0.0.1"), 4000ms);
  clock.Advance(2min);
  EXPECT_EQ(gate.NextDelay("10.0.0.1"), 500ms);
  refuse("10.0.0.1");
  EXPECT_EQ(gate.NextDelay("10.0.0.1"), 1000ms);
}

TEST(GateTest, AFloodOfAddressesNeitherGrowsNorResetsTheTable) {
  FakeClock clock;
  LoginGate::Limits limits = Fast(1ms, 64ms);
  limits.buckets = 1024;
  LoginGate gate(limits, clock);
  for (int i = 0; i < 4; ++i) gate.Attempt("192.0.2.1", true, []() { return 0; });
  for (int i = 0; i < 20000; ++i)
    gate.Attempt("10." + std::to_string(i >> 16) + "." + std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255),
                 true, []() { return 0; });
  // Sharing a bucket with others only adds to the count.
  EXPECT_GE(gate.NextDelay("192.0.2.1"), 16ms);
}

TEST(GateTest, RefusedChecksAcrossAllAddressesHaveACeiling) {
  FakeClock clock;
  LoginGate::Limits limits = Fast(0ms, 0ms);
  limits.checksPerSecond = 2;
  limits.burst = 2;
  LoginGate gate(limits, clock);
  auto checkedAt = [&](const std::string& address, int level) {
    auto t0 = LoginGate::TimePoint{};
    std::chrono::milliseconds at{-1};
    gate.Attempt(address, true, [&]() {
      at = std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - t0);
      return level;
    });
    return at.count();
  };
  // Accepted checks give their token back: any number run at once.
  for (int i = 0; i < 10; ++i) EXPECT_EQ(checkedAt("10.1.0." + std::to_string(i), 2), 0) << i;
  // Refused ones keep it: beyond the burst, one check each half second,
  // whatever address they come from.
  long expected[] = {0, 0, 500, 1000, 1500};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(checkedAt("10.2.0." + std::to_string(i), 0), expected[i]) << i;
  // An attempt refused before any check waits for a token as well.
  auto start = clock.Now();
  gate.Attempt("10.3.0.1", false, []() { return 0; });
  EXPECT_EQ(clock.Now() - start, 500ms);
}

TEST(GateTest, AttemptsOfOneAddressRunOneAfterTheOther) {
  FakeClock clock;
  LoginGate::Limits limits = Fast();
  limits.buckets = 1 << 16;  // the two addresses below will not share one
  limits.maxWaiting = 1;
  LoginGate gate(limits, clock);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> entered{0};
  std::thread first([&]() {
    gate.Attempt("10.0.0.1", true, [&]() {
      ++entered;
      released.wait();
      return 2;
    });
  });
  auto waitFor = [](const std::function<bool()>& done) {
    for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(1ms);
    return done();
  };
  ASSERT_TRUE(waitFor([&]() { return entered == 1; }));
  std::atomic<bool> secondChecked{false};
  std::thread second([&]() {
    gate.Attempt("10.0.0.1", true, [&]() {
      secondChecked = true;
      return 2;
    });
  });
  ASSERT_TRUE(waitFor([&]() { return gate.Waiting("10.0.0.1") == 1; }));
  // Another address does not wait for them.
  EXPECT_EQ(gate.Attempt("10.0.0.2", true, []() { return 3; }).level, 3);
  // Beyond maxWaiting an attempt is refused at once, with no check.
  bool checked = false;
  LoginGate::Outcome o = gate.Attempt("10.0.0.1", true, [&]() {
    checked = true;
    return 2;
  });
  EXPECT_TRUE(o.refusedAtOnce);
  EXPECT_FALSE(checked);
  EXPECT_FALSE(secondChecked);
  release.set_value();
  first.join();
  second.join();
  EXPECT_TRUE(secondChecked);
  EXPECT_EQ(gate.Waiting("10.0.0.1"), 0);
}

class HelperTest : public kel::test::TempBase {
 protected:
  void SetUp() override {
    TempBase::SetUp();
    path_ = root_ + "/auth.sock";
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    ASSERT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    listen(fd_, 16);
    server_ = std::thread([this]() { ServeAuthRequests(fd_, kPamService, gate_); });
  }
  void TearDown() override {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    server_.join();
    TempBase::TearDown();
  }
  LoginRequest Request(const char* address, const char* user, const char* password) {
    LoginRequest q;
    q.address = address;
    q.user = user;
    q.password = password;
    q.levels = {"kelops", "", "kelusers", false};
    return q;
  }
  std::string path_;
  int fd_ = -1;
  std::thread server_;
  FakeClock clock_;
  LoginGate gate_{Fast(), clock_};
};

TEST_F(HelperTest, TheHelperDecidesTheWholeOutcomeAndEveryRefusalTakesOneTime) {
  struct {
    const char* user;
    const char* password;
    bool refuseAdministrator;
    bool addressRefused;
    int level;
    LoginRefusal reason;
  } cases[] = {
      {"kelalice", "secret-alice", false, false, kLevelAdministrator, LoginRefusal::kNone},
      {"kelbob", "secret-bob", false, false, kLevelUser, LoginRefusal::kNone},
      {"kelbob", "secret-bob", true, false, kLevelUser, LoginRefusal::kNone},
      {"kelbob", "wrong", false, false, kLevelNone, LoginRefusal::kPassword},
      {"kelcarol", "secret-carol", false, false, kLevelNone, LoginRefusal::kNoLevel},
      {"nobody-here", "x", false, false, kLevelNone, LoginRefusal::kPassword},
      {"", "", false, false, kLevelNone, LoginRefusal::kPassword},
      {"kelalice", "secret-alice", true, false, kLevelNone, LoginRefusal::kAdministrator},
      {"kelbob", "secret-bob", false, true, kLevelNone, LoginRefusal::kAddress},
  };
  int n = 0;
  for (const auto& c : cases) {
    // Each from an address of its own, so each refusal is that address's first.
    std::string address = "10.9.0." + std::to_string(++n);
    LoginRequest q = Request(address.c_str(), c.user, c.password);
    q.refuseAdministrator = c.refuseAdministrator;
    q.addressRefused = c.addressRefused;
    auto start = clock_.Now();
    LoginAnswer a = AskAuthHelper(path_, q);
    EXPECT_TRUE(a.reached) << c.user;
    EXPECT_EQ(a.level, c.level) << c.user << " " << c.password;
    EXPECT_EQ(a.reason, c.reason) << c.user << " " << c.password;
    EXPECT_EQ(clock_.Now() - start, c.level == kLevelNone ? 500ms : 0ms) << c.user << " " << c.password;
  }
}

TEST_F(HelperTest, EveryFailureOnThePathIsARefusal) {
  LoginAnswer a = AskAuthHelper(root_ + "/none.sock", Request("a", "kelbob", "secret-bob"));
  EXPECT_FALSE(a.reached);
  EXPECT_EQ(a.level, kLevelNone);
  a = AskAuthHelper(path_, Request("a", "kelbob", std::string(9000, 'x').c_str()));
  EXPECT_EQ(a.level, kLevelNone);
  // A request that is not one: the helper answers "refused".
  int c = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
  ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const char garbage[] = "\x00\x00\x00\x08nonsense";
  send(c, garbage, sizeof garbage - 1, 0);
  char reply[2] = {0, 0};
  EXPECT_EQ(recv(c, reply, 2, MSG_WAITALL), 2);
  EXPECT_EQ(reply[0], '0');
  EXPECT_EQ(reply[1], static_cast<char>(LoginRefusal::kMalformed));
  close(c);
}

TEST(HelperRequest, WhatIsSentIsWhatIsRead) {
  LoginRequest q;
  q.address = "10.0.0.1";
  q.user = "DOMAIN\\bob";
  q.password = "p/w = x";
  q.levels.adminGroups = "wheel;admins";
  q.levels.allowDefaultOsAdmin = true;
  q.addressRefused = true;
  std::string wire = EncodeLoginRequest(q);
  LoginRequest back;
  ASSERT_TRUE(DecodeLoginRequest(std::vector<char>(wire.begin(), wire.end()), &back));
  EXPECT_EQ(back.user, q.user);
  EXPECT_EQ(back.password, q.password);
  EXPECT_EQ(back.levels.adminGroups, q.levels.adminGroups);
  EXPECT_TRUE(back.levels.allowDefaultOsAdmin);
  EXPECT_FALSE(back.refuseAdministrator);
  EXPECT_TRUE(back.addressRefused);
  // A field too many, one too few, or one over the limit: not a request.
  LoginRequest longUser;
  longUser.user = std::string(2049, 'u');
  for (const std::string& bad : {wire + "x" + std::string(1, '\0'), wire.substr(0, wire.size() - 1),
                                 EncodeLoginRequest(longUser)})
    EXPECT_FALSE(DecodeLoginRequest(std::vector<char>(bad.begin(), bad.end()), &back));
}

TEST(SessionCookie, TheCookieOfThatNameOnly) {
  const struct {
    const char* header;
    const char* value;
  } cases[] = {
      {"QXKELSESSION=abc", "abc"},
      {"a=1; QXKELSESSION=abc; b=2", "abc"},
      {"a=1;QXKELSESSION=abc", "abc"},
      {"xQXKELSESSION=no; QXKELSESSION=yes", "yes"},
      {"QXKELSESSION=first; QXKELSESSION=second", "first"},
      {"QXKELSESSION=", ""},
      {"other=1", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(SessionCookieValue(c.header, "QXKELSESSION"), c.value) << c.header;
  EXPECT_EQ(SessionCookieValue(nullptr, "QXKELSESSION"), "");
}

class SessionTest : public kel::test::TempBase {
 protected:
  void SetUp() override {
    TempBase::SetUp();
    root = Path("session");
    std::filesystem::create_directories(root + "/php");
  }
  SessionLimits Limits(std::chrono::milliseconds idle, int maximum, int perAccount = 8) {
    SessionLimits l;
    l.idle = idle;
    l.maximum = maximum;
    l.perAccount = perAccount;
    return l;
  }
  // Sessions opened within one tick of the file system's clock would look
  // equally recent: each is given its own last use.
  Session Open(SessionStore& store, const char* user, int level, const SessionLimits& limits,
               SessionAdmission expected = SessionAdmission::kCreated, std::vector<Session>* ended = nullptr) {
    Session s;
    EXPECT_EQ(store.Create(user, level, limits, &s, ended), expected) << user;
    if (expected == SessionAdmission::kCreated) {
      timespec times[2] = {{++tick_, 0}, {tick_, 0}};
      utimensat(AT_FDCWD, (s.dir + "/owner").c_str(), times, 0);
    }
    return s;
  }
  std::string root;
  time_t tick_ = time(nullptr) - 1000;
};

TEST_F(SessionTest, CreateFindExpireLimitRemove) {
  SessionStore store(root);
  Session a, b, found;
  a = Open(store, "kelalice", 4, Limits(60s, 2));
  EXPECT_TRUE(SessionStore::WellFormedId(a.id));
  EXPECT_EQ(a.dir, root + "/kel-" + a.id);
  ASSERT_TRUE(store.Find(a.id, 2000s, &found));
  EXPECT_EQ(found.user, "kelalice");
  EXPECT_EQ(found.level, 4);
  EXPECT_EQ(found.dir, a.dir);
  b = Open(store, "kelbob", 2, Limits(2000s, 2));
  EXPECT_NE(a.id, b.id);
  Open(store, "kelcarol", 2, Limits(2000s, 2), SessionAdmission::kFull);  // the limit
  store.Remove(b.id);
  EXPECT_FALSE(store.Find(b.id, 60s, &found));
  EXPECT_EQ(store.Count(60s), 1);

  for (const char* bad : {"", "../../etc", "ABCDEF", "php"}) EXPECT_FALSE(store.Find(bad, 60s, &found)) << bad;
  EXPECT_TRUE(std::filesystem::exists(root + "/php"));

  std::this_thread::sleep_for(150ms);
  EXPECT_FALSE(store.Find(a.id, 100ms, &found));  // idle too long
  EXPECT_FALSE(std::filesystem::exists(a.dir));
  Session c;
  // Wide margins: on a busy machine a short sleep can last several times its length.
  ASSERT_EQ(store.Create("kelcarol", 2, Limits(3s, 1), &c, nullptr), SessionAdmission::kCreated);
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(store.Find(c.id, 3s, &found));  // the request restarts the idle time
  std::this_thread::sleep_for(2s);
  EXPECT_TRUE(store.Find(c.id, 3s, &found));
}

TEST_F(SessionTest, AnAccountAtItsLimitLosesItsOldestSession) {
  SessionStore store(root);
  SessionLimits limits = Limits(4000s, 10, 3);
  Session other = Open(store, "kelalice", 4, limits);
  Session bob[4];
  for (int i = 0; i < 3; ++i) bob[i] = Open(store, "kelbob", 2, limits);
  std::vector<Session> ended;
  bob[3] = Open(store, "kelbob", 2, limits, SessionAdmission::kCreated, &ended);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].id, bob[0].id);
  EXPECT_FALSE(std::filesystem::exists(bob[0].dir));
  for (const Session& s : {other, bob[1], bob[2], bob[3]}) EXPECT_TRUE(std::filesystem::exists(s.dir)) << s.user;
}

TEST_F(SessionTest, LowerLevelsNeverLockAdministratorsOut) {
  SessionStore store(root);
  SessionLimits limits = Limits(4000s, 3);
  Session admin = Open(store, "kelalice", 4, limits);
  Session bob = Open(store, "kelbob", 2, limits);
  Session eve = Open(store, "keleve", 3, limits);
  // At the maximum a user is refused, an administrator ends the least
  // recently used session below the administrator level.
  Open(store, "kelbob", 2, limits, SessionAdmission::kFull);
  std::vector<Session> ended;
  Session admin2 = Open(store, "keldave", 4, limits, SessionAdmission::kCreated, &ended);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].user, "kelbob");
  EXPECT_FALSE(std::filesystem::exists(bob.dir));
  Open(store, "root", 4, limits, SessionAdmission::kCreated);  // keleve's turn
  EXPECT_FALSE(std::filesystem::exists(eve.dir));
  // Only administrators left: refused.
  Open(store, "root", 4, limits, SessionAdmission::kFull);
  for (const Session& s : {admin, admin2}) EXPECT_TRUE(std::filesystem::exists(s.dir)) << s.user;
}

TEST_F(SessionTest, TheLevelIsDerivedAnewAndANewLevelIsUsedAtOnce) {
  SessionStore store(root);
  Session s = Open(store, "kelalice", 4, Limits(4000s, 5)), found;
  int asked = 0;
  auto levelIs = [&](int level) {
    return [&asked, level](const std::string& user) {
      ++asked;
      return user == "kelalice" ? level : -1;
    };
  };
  ASSERT_TRUE(store.Find(s.id, 4000s, &found));
  EXPECT_EQ(store.Recheck(&found, 1h, levelIs(2)), LevelRecheck::kNotDue);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(store.Recheck(&found, 0ms, levelIs(4)), LevelRecheck::kUnchanged);
  EXPECT_EQ(store.Recheck(&found, 0ms, levelIs(2)), LevelRecheck::kChanged);
  EXPECT_EQ(found.level, 2);
  ASSERT_TRUE(store.Find(s.id, 4000s, &found));
  EXPECT_EQ(found.level, 2);  // stored
  EXPECT_EQ(store.Recheck(&found, 1h, levelIs(0)), LevelRecheck::kNotDue);
  EXPECT_EQ(store.Recheck(&found, 0ms, levelIs(0)), LevelRecheck::kEnded);
  EXPECT_FALSE(store.Find(s.id, 4000s, &found));
  EXPECT_FALSE(std::filesystem::exists(s.dir));
}

// Requests of one session fall due together: one derives the level, the
// others keep the level of a moment ago or take the one just stored,
// without asking the account again.
TEST_F(SessionTest, OneRequestAtATimeDerivesTheLevel) {
  SessionStore store(root);
  Session s = Open(store, "kelalice", 4, Limits(4000s, 5)), first, second;
  // Stored without the time it was derived: due at once.
  {
    std::ofstream owner(s.dir + "/owner", std::ios::trunc);
    owner << "kelalice\n4\n";
  }
  ASSERT_TRUE(store.Find(s.id, 4000s, &first));
  ASSERT_TRUE(store.Find(s.id, 4000s, &second));
  int asked = 0;
  auto operatorLevel = [&asked](const std::string&) {
    ++asked;
    return 2;
  };
  {
    // Another request is deriving it right now.
    int busy = open(s.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(busy, 0);
    ASSERT_EQ(flock(busy, LOCK_EX), 0);
    EXPECT_EQ(store.Recheck(&first, 1min, operatorLevel), LevelRecheck::kNotDue);
    close(busy);
  }
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(first.level, 4);
  EXPECT_EQ(store.Recheck(&first, 1min, operatorLevel), LevelRecheck::kChanged);
  EXPECT_EQ(asked, 1);
  // The second request read the session before that: it takes the stored level.
  EXPECT_EQ(store.Recheck(&second, 1min, operatorLevel), LevelRecheck::kNotDue);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(second.level, 2);
}

TEST(OriginTest, StateChangingRequestsFromOtherPagesAreCrossSite) {
  const OwnOrigin own{"https", 2381, {"localhost", "kelhost", "10.1.2.3"}};
  const char* absent = nullptr;
  struct {
    const char* origin;
    const char* referer;
    const char* fetchSite;
    SourceVerdict verdict;
  } cases[] = {
      // A program: no browser header at all.
      {absent, absent, absent, SourceVerdict::kProgram},
      // The portal's own pages, by any of its names, in any letter case.
      {"https://127.0.0.1:2381", absent, "same-origin", SourceVerdict::kSameOrigin},
      {"https://KELHOST:2381", absent, absent, SourceVerdict::kSameOrigin},
      {"https://kelhost.:2381", absent, absent, SourceVerdict::kSameOrigin},
      {"https://10.1.2.3:2381", "https://evil.example/", absent, SourceVerdict::kSameOrigin},
      {"https://127.0.0.2:2381", absent, absent, SourceVerdict::kSameOrigin},
      {absent, "https://localhost:2381/proxy/configui?x=1", absent, SourceVerdict::kSameOrigin},
      {absent, absent, "same-origin", SourceVerdict::kSameOrigin},
      // Another site, or what browsers send when they hide the page.
      {"https://evil.example", absent, absent, SourceVerdict::kCrossSite},
      {"https://evil.example:2381", absent, "same-origin", SourceVerdict::kCrossSite},
      {"null", absent, absent, SourceVerdict::kCrossSite},
      {"", absent, absent, SourceVerdict::kCrossSite},
      {absent, "https://evil.example/page", absent, SourceVerdict::kCrossSite},
      {absent, "", absent, SourceVerdict::kCrossSite},
      {absent, absent, "cross-site", SourceVerdict::kCrossSite},
      {absent, absent, "same-site", SourceVerdict::kCrossSite},
      {"https://127.0.0.1:2381", absent, "same-site", SourceVerdict::kCrossSite},
      // Scheme and port are the portal's own too.
      {"http://127.0.0.1:2381", absent, absent, SourceVerdict::kCrossSite},
      {"https://127.0.0.1:2301", absent, absent, SourceVerdict::kCrossSite},
      {"https://127.0.0.1", absent, absent, SourceVerdict::kCrossSite},
      // Forms no browser sends.
      {"https://127.0.0.1:2381/", absent, absent, SourceVerdict::kCrossSite},
      {"https://user@127.0.0.1:2381", absent, absent, SourceVerdict::kCrossSite},
      {"https://127.0.0.1:99999", absent, absent, SourceVerdict::kCrossSite},
      {"https://127.0.0.1:23x1", absent, absent, SourceVerdict::kCrossSite},
      {"127.0.0.1:2381", absent, absent, SourceVerdict::kCrossSite},
      {"https://[::1", absent, absent, SourceVerdict::kCrossSite},
      {"https://evil.example.127.0.0.1.nip.io:2381", absent, absent, SourceVerdict::kCrossSite},
  };
  for (const auto& c : cases) {
    RequestSource source{c.origin, c.referer, c.fetchSite};
    EXPECT_EQ(JudgeSource(source, own), c.verdict)
        << (c.origin ? c.origin : "-") << " " << (c.referer ? c.referer : "-") << " "
        << (c.fetchSite ? c.fetchSite : "-");
  }
  const OwnOrigin legacy{"http", 2301, {"localhost"}};
  EXPECT_EQ(JudgeSource({"http://localhost:2301", nullptr, nullptr}, legacy), SourceVerdict::kSameOrigin);
  EXPECT_EQ(JudgeSource({"https://localhost:2301", nullptr, nullptr}, legacy), SourceVerdict::kCrossSite);
  EXPECT_EQ(JudgeSource({"http://localhost", nullptr, nullptr}, OwnOrigin{"http", 80, {"localhost"}}),
            SourceVerdict::kSameOrigin);
}

TEST(OriginTest, OnlyMethodsThatChangeNothingAreLeftAlone) {
  for (const char* m : {"GET", "HEAD", "OPTIONS"}) EXPECT_FALSE(ChangesState(m)) << m;
  for (const char* m : {"POST", "PUT", "DELETE", "PATCH", "M-POST", "get"}) EXPECT_TRUE(ChangesState(m)) << m;
}

TEST(OriginTest, LocalNamesHoldTheHostAndItsAddresses) {
  char host[256];
  GetLocalHostName(host, sizeof host);
  std::vector<std::string> names = LocalNames();
  EXPECT_EQ(names[0], "localhost");
  EXPECT_NE(std::find(names.begin(), names.end(), std::string(host)), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), std::string("127.0.0.1")), names.end());
}

}  // namespace
