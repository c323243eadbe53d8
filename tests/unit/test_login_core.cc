// Runs under nss_wrapper and pam_wrapper with the accounts of
// tests/fixtures/nss and tests/fixtures/pam (see CMakeLists.txt).
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "aa_authhelper.h"
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
    server_ = std::thread(ServeAuthRequests, fd_, kPamService);
  }
  void TearDown() override {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    server_.join();
    TempBase::TearDown();
  }
  std::string path_;
  int fd_ = -1;
  std::thread server_;
};

TEST_F(HelperTest, AnswersAndSlowsFailuresDownPerAddress) {
  EXPECT_EQ(AskAuthHelper(path_, "10.0.0.1", "kelbob", "secret-bob"), 1);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(AskAuthHelper(path_, "10.0.0.2", "kelbob", "wrong"), 0);
  auto first = std::chrono::steady_clock::now() - t0;
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(AskAuthHelper(path_, "10.0.0.2", "kelbob", "wrong"), 0);
  auto second = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(first, 250ms);
  EXPECT_GE(second, 500ms);
  // Another address is not slowed, and a success clears the count.
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(AskAuthHelper(path_, "10.0.0.3", "kelalice", "secret-alice"), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 250ms);
  EXPECT_EQ(AskAuthHelper(path_, "10.0.0.2", "kelbob", "secret-bob"), 1);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(AskAuthHelper(path_, "10.0.0.2", "kelbob", "wrong"), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
}

TEST_F(HelperTest, EveryFailureOnThePathIsARefusal) {
  EXPECT_EQ(AskAuthHelper(root_ + "/none.sock", "a", "kelbob", "secret-bob"), 0);
  EXPECT_EQ(AskAuthHelper(path_, "a", "", "secret-bob"), 0);
  EXPECT_EQ(AskAuthHelper(path_, "a", "kelbob", std::string(5000, 'x').c_str()), 0);
  // A request that is not one: the helper answers "refused".
  int c = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
  ASSERT_EQ(connect(c, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const char garbage[] = "\xff\xff\xff\xffnonsense";
  send(c, garbage, sizeof garbage, 0);
  char reply = 0;
  EXPECT_EQ(recv(c, &reply, 1, 0), 1);
  EXPECT_EQ(reply, '0');
  close(c);
}

class SessionTest : public kel::test::TempBase {};

TEST_F(SessionTest, CreateFindExpireLimitRemove) {
  std::string root = Path("session");
  std::filesystem::create_directories(root + "/php");
  SessionStore store(root);
  Session a, b, found;
  ASSERT_TRUE(store.Create("kelalice", 4, 60s, 2, &a));
  EXPECT_TRUE(SessionStore::WellFormedId(a.id));
  EXPECT_EQ(a.dir, root + "/kel-" + a.id);
  ASSERT_TRUE(store.Find(a.id, 60s, &found));
  EXPECT_EQ(found.user, "kelalice");
  EXPECT_EQ(found.level, 4);
  EXPECT_EQ(found.dir, a.dir);
  ASSERT_TRUE(store.Create("kelbob", 2, 60s, 2, &b));
  EXPECT_NE(a.id, b.id);
  Session c;
  EXPECT_FALSE(store.Create("kelcarol", 2, 60s, 2, &c));  // the limit
  store.Remove(b.id);
  EXPECT_FALSE(store.Find(b.id, 60s, &found));
  EXPECT_EQ(store.Count(60s), 1);

  for (const char* bad : {"", "../../etc", "ABCDEF", "php"}) EXPECT_FALSE(store.Find(bad, 60s, &found)) << bad;
  EXPECT_TRUE(std::filesystem::exists(root + "/php"));

  std::this_thread::sleep_for(150ms);
  EXPECT_FALSE(store.Find(a.id, 100ms, &found));  // idle too long
  EXPECT_FALSE(std::filesystem::exists(a.dir));
  ASSERT_TRUE(store.Create("kelcarol", 2, 100ms, 1, &c));
  std::this_thread::sleep_for(60ms);
  EXPECT_TRUE(store.Find(c.id, 100ms, &found));  // the request restarts the idle time
  std::this_thread::sleep_for(60ms);
  EXPECT_TRUE(store.Find(c.id, 100ms, &found));
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
