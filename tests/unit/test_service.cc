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

}  // namespace
