#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kel_svcctl.h"
#include "kel_test_env.h"
#include "svc_cmdline.h"
#include "svc_events.h"
#include "fake_service.h"
#include "svc_backoff.h"

namespace {

std::vector<std::string> g_events;
void Record(uint32_t id, const char* message) {
  char head[16];
  snprintf(head, sizeof head, "%08X ", id);
  g_events.push_back(head + std::string(message));
}

TEST(CommandLineTest, Modes) {
  const std::string usage = "C0FF000B The QX Kel Portal Win32 service could not be started successfully. Usage: "
                            "KELStart.exe [/d | /k]\n   /d = Debug mode - runs as a process.\n  /k = Shutdown/"
                            "restart HTTP server ";
  const std::string running = "C0FF000B The QX Kel Portal Win32 service could not be started successfully. QX Kel "
                              "Portal service is already running.";
  struct {
    const char* line;
    bool running;
    RunMode mode;
    std::vector<std::string> events;
  } cases[] = {
      {"", false, RunMode::kService, {}},
      {"/d", false, RunMode::kDebug, {}},
      {"-D", false, RunMode::kDebug, {}},
      {"/s", false, RunMode::kExit, {}},
      {"/s", true, RunMode::kStop, {}},
      {"-R", true, RunMode::kRestart, {}},
      {"/r", false, RunMode::kExit, {}},
      {"/k", true, RunMode::kExit, {}},
      {"x", false, RunMode::kExit, {usage}},
      {"-x /d", false, RunMode::kDebug, {}},  // the first "/" wins over "-"
      {"", true, RunMode::kExit, {running}},
      {"/d", true, RunMode::kExit, {running}},
      {"/", false, RunMode::kExit, {}},
  };
  kel::testing::SetEventSink(Record);
  for (const auto& c : cases) {
    g_events.clear();
    EXPECT_EQ(ParseCommandLine(c.line, c.running), c.mode) << c.line;
    EXPECT_EQ(g_events, c.events) << c.line;
  }
  kel::testing::SetEventSink(nullptr);
}

TEST(TextsTest, ResourcesById) {
  EXPECT_STREQ(LoadText(105), "QX Kel Portal is running...\n\nPress Enter or Ctrl-C to stop.");
  EXPECT_STREQ(LoadText(167), "QX Kel Portal Process failed to restart");
  EXPECT_STREQ(LoadText(107), "");
}

class RestartRequestTest : public kel::test::TempBase {
 protected:
  void SetUp() override {
    TempBase::SetUp();
    std::filesystem::create_directories(Path("run"));
    setenv("KELSVC_TEST_POLL", "5,3", 1);
  }
  void TearDown() override {
    unsetenv("KELSVC_TEST_POLL");
    TempBase::TearDown();
  }
};

TEST_F(RestartRequestTest, EndsRunningOrNot) {
  EXPECT_EQ(RequestServiceRestart(), 0);  // no service
  {
    kel::test::FakeService running(ServiceSocketPath(), kStateRunning);
    EXPECT_EQ(RequestServiceRestart(), 1);
    EXPECT_EQ(running.queries, 0);
  }
  unlink(ServiceSocketPath().c_str());
  {
    kel::test::FakeService stuck(ServiceSocketPath(), kStateStartPending);
    EXPECT_EQ(RequestServiceRestart(), 0);
    EXPECT_EQ(stuck.queries, 3);
  }
}

// Each step: one start, whether that server came up and served before it
// ended, and what the back-off decides.
TEST(RestartBackoffTest, ServersThatServedComeBackStartsThatFailGiveUp) {
  using std::chrono::seconds;
  struct Step {
    bool served;
    bool giveUp;
    int failures;
    seconds delay;
  };
  const Step served{true, false, 0, seconds(1)};
  struct {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"a server that served and died comes back at once", {served}},
      {"one that dies again and again after serving is never given up",
       {served, served, served, served, served, served, served, served, served, served}},
      {"starts that fail double the delay, the fifth gives up",
       {{false, false, 1, seconds(1)},
        {false, false, 2, seconds(2)},
        {false, false, 3, seconds(4)},
        {false, false, 4, seconds(8)},
        {false, true, 5, seconds(0)}}},
      {"serving forgets the failed starts before it",
       {{false, false, 1, seconds(1)},
        {false, false, 2, seconds(2)},
        served,
        {false, false, 1, seconds(1)},
        {false, false, 2, seconds(2)},
        {false, false, 3, seconds(4)},
        served,
        {false, false, 1, seconds(1)}}},
      {"a server killed after serving, then starts that fail, still gives up",
       {served, served, {false, false, 1, seconds(1)}, {false, false, 2, seconds(2)}, {false, false, 3, seconds(4)},
        {false, false, 4, seconds(8)}, {false, true, 5, seconds(0)}}},
  };
  for (const auto& c : cases) {
    RestartBackoff backoff;
    int i = 0;
    for (const Step& step : c.steps) {
      backoff.Started();
      if (step.served) backoff.Served();
      RestartBackoff::Decision d = backoff.Ended();
      EXPECT_EQ(d.giveUp, step.giveUp) << c.name << ", step " << i;
      EXPECT_EQ(d.failures, step.failures) << c.name << ", step " << i;
      if (!d.giveUp) {
        EXPECT_EQ(d.delay, step.delay) << c.name << ", step " << i;
      }
      ++i;
    }
  }
}

}  // namespace
