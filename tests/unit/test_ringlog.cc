#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>

#include "kel_ringlog.h"
#include "kel_test_env.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

class RingLogTest : public kel::test::TempBase {
 protected:
  std::string log_;
  void SetUp() override {
    TempBase::SetUp();
    log_ = Path("logs/kel.log");
  }
  long Header() { return strtol(ReadFile(log_).substr(0, 8).c_str(), nullptr, 16); }
};

TEST_F(RingLogTest, FirstRecordIntoAMissingFile) {
  EXPECT_EQ(RingLogWrite(log_.c_str(), 2, "getVEXOs: start with new mapfile."), 33);
  std::string text = ReadFile(log_);
  EXPECT_EQ(Header(), static_cast<long>(text.size()));
  std::regex record(
      "[0-9A-F]{8}\n\n\nERROR LOG \\(severity=2\\)  [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d "
      "\\d{4}\ngetVEXOs: start with new mapfile\\.");
  EXPECT_TRUE(std::regex_match(text, record)) << text;
}

TEST_F(RingLogTest, SeverityNamesAndRange) {
  const char* names[] = {"INFORMATION LOG", "WARNING LOG", "ERROR LOG", "CRITICAL ERROR LOG"};
  for (int s = 0; s < 4; ++s) {
    RingLogWrite(log_.c_str(), s, "m");
    EXPECT_NE(ReadFile(log_).find(std::string(names[s]) + " (severity=" + std::to_string(s) + ")"),
              std::string::npos);
  }
  EXPECT_EQ(RingLogWrite(log_.c_str(), 4, "m"), -1);
  EXPECT_EQ(RingLogWrite(Path("nodir/kel.log").c_str(), 0, "m"), -1);
}

TEST_F(RingLogTest, UnusableHeaderRestartsAtNine) {
  for (const char* header : {"00000000\n", "00030D41\n", "00000003\n", "0000FFFF\n"}) {
    WriteFile(log_, std::string(header) + std::string(200, 'o'));
    RingLogWrite(log_.c_str(), 0, "new");
    std::string text = ReadFile(log_);
    EXPECT_EQ(text.substr(9, 2), "\n\n") << header;
    EXPECT_EQ(Header(), static_cast<long>(text.find("new") + 3)) << header;
  }
}

TEST_F(RingLogTest, RecordCrossingTheLimitEndsTheFileAndTheNextStartsAtNine) {
  std::string big(70000, 'b');
  for (int i = 0; i < 3; ++i) RingLogWrite(log_.c_str(), 0, big.c_str());
  std::string text = ReadFile(log_);
  EXPECT_GT(text.size(), static_cast<size_t>(kRingLogLimit));
  EXPECT_EQ(Header(), static_cast<long>(text.size()));
  RingLogWrite(log_.c_str(), 1, "wrapped");
  text = ReadFile(log_);
  EXPECT_EQ(text.find("\n\nWARNING LOG"), 9u);
  EXPECT_EQ(Header(), static_cast<long>(text.find("wrapped") + 7));
}

TEST_F(RingLogTest, WritersInTwoProcessesNeverInterleave) {
  constexpr int kRecords = 300;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  const char* mine = child == 0 ? "child-record-with-a-body" : "parent-record-with-a-body";
  for (int i = 0; i < kRecords; ++i) RingLogWrite(log_.c_str(), 0, mine);
  if (child == 0) _exit(0);
  int status;
  waitpid(child, &status, 0);
  std::string text = ReadFile(log_);
  std::regex one("\n\nINFORMATION LOG \\(severity=0\\)  [^\n]{24}\n(child|parent)-record-with-a-body");
  auto begin = std::sregex_iterator(text.begin() + 9, text.end(), one);
  EXPECT_EQ(std::distance(begin, std::sregex_iterator()), 2 * kRecords);
  EXPECT_EQ(Header(), static_cast<long>(text.size()));
}

}  // namespace
