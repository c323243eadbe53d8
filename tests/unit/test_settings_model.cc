#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <apr_general.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cfg_log.h"
#include "config_fixture.h"
#include "cfg_settings.h"
#include "cfg_settings_file.h"
#include "fake_service.h"
#include "kel_config.h"
#include "kel_ringlog.h"
#include "kel_svcctl.h"
#include "kel_test_env.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

class ModelTest : public kel::test::ConfigModuleTest {
 protected:
  std::string Text(const char* name) {
    KelSetting* s = FindSetting(config_, name);
    char buf[2048];
    s->getText(s, buf, sizeof buf);
    return buf;
  }
  // Validates with the store flag; the text the caller's buffer ends with.
  int Validate(const char* name, const std::string& value, std::string* rewritten = nullptr) {
    KelSetting* s = FindSetting(config_, name);
    std::string buf = value;
    int r = s->validate(s, buf.data(), 1);
    if (rewritten) *rewritten = buf.c_str();
    return r;
  }

};

TEST_F(ModelTest, DefaultsInTheirTextForm) {
  const std::map<std::string, std::string> defaults = {
      {"admin-group", ""},          {"allow-default-os-admin", "True"}, {"anonymous-access", "False"},
      {"localaccess-type", "Anonymous"}, {"trustmode", "TrustByCert"}, {"lock-ports", "0"},
      {"session-timeout", "15"},    {"session-maximum", "128"},          {"disable-sslv2", "True"},
      {"ui-timeout", "20"},
  };
  for (const auto& [name, text] : defaults) EXPECT_EQ(Text(name.c_str()), text) << name;
  EXPECT_EQ(config_->settings->nelts, 22);
  EXPECT_STREQ(reinterpret_cast<KelSetting*>(config_->settings->elts)[21].name, "ui-timeout");
  EXPECT_EQ(Log(), "");
}

struct Rule {
  const char* setting;
  const char* value;
  bool accepted;
  const char* stored;    // text form after a store; null: unchanged default
  const char* message;   // expected in the log; null: nothing logged
};

TEST_F(ModelTest, Rules) {
  const std::string longName(65, 'n');
  const std::string sixEntries =
      "10.0.0.1/255.0.0.0;10.0.0.2/255.0.0.0;10.0.0.3/255.0.0.0;10.0.0.4/255.0.0.0;10.0.0.5/255.0.0.0;"
      "10.0.0.6/255.0.0.0";
  const Rule rules[] = {
      {"allow-default-os-admin", "false", true, "False", nullptr},
      {"anonymous-access", "TRUE", true, "True", nullptr},
      {"anonymous-access", "yes", false, nullptr,
       "Boolean value \"yes\" is not valid, please reset the Boolean value\n"},
      {"trustmode", "trustbyname", true, "trustbyname", nullptr},
      {"trustmode", "TrustNobody", false, nullptr, "TrustMode value \"TrustNobody\" is not valid, please reset the value\n"},
      {"localaccess-type", "administrator", true, "administrator", nullptr},
      {"localaccess-type", "Root", false, nullptr, "LocalAccessType value \"Root\" is not valid, please reset the value\n"},
      {"zqnamelist", "a,b", true, "a;b", nullptr},
      {"zqnamelist", "a;", true, "a;", nullptr},
      {"zqnamelist", "", true, "", nullptr},
      {"zqnamelist", ";a", false, nullptr, "ZQName value \";a\" is not valid, please reset the value.\n"},
      {"zqnamelist", "a;;b", false, nullptr, nullptr},
      {"zqnamelist", "srv:1", false, nullptr, nullptr},
      {"zqnamelist", "s\xc3\xa9rver", false, nullptr, nullptr},
      {"ip-restricted-include", "10.0.0.1-10.0.0.255;192.168.1.1", true, "10.0.0.1-10.0.0.255;192.168.1.1", nullptr},
      {"ip-restricted-include", "10.0.0.1,10.0.0.2;", true, "10.0.0.1;10.0.0.2;", nullptr},
      {"ip-restricted-include", "10.0.0.5-10.0.0.5", true, "10.0.0.5-10.0.0.5", nullptr},
      {"ip-restricted-include", "10.0.0.5-10.0.0.1", false, nullptr,
       "IpRestriction value \"10.0.0.5-10.0.0.1\" is not valid, please reset the value.\n"},
      {"ip-restricted-exclude", "010.0.0.1", false, nullptr, nullptr},
      {"ip-restricted-exclude", "10.0.0.256", false, nullptr, nullptr},
      {"ip-restricted-exclude", ";10.0.0.1", false, nullptr, nullptr},
      {"ip-restricted-exclude", "10.0.0", false, nullptr, nullptr},
      {"ip-restricted-exclude", "10.0.0.1 ", false, nullptr, nullptr},
      {"ip-binding-list", "192.168.0.1/255.255.255.0", true, "192.168.0.1/255.255.255.0", nullptr},
      {"ip-binding-list", "10.0.0.1/128.0.0.0;", true, "10.0.0.1/128.0.0.0;", nullptr},
      {"ip-binding-list", "192.168.0.1/255.0.255.0", false, nullptr,
       "IpBindingList value \"192.168.0.1/255.0.255.0\" is not valid, please reset the value.\n"},
      {"ip-binding-list", "192.168.0.1/0.0.0.0", false, nullptr, nullptr},
      {"ip-binding-list", "192.168.0.1/127.0.0.0", false, nullptr, nullptr},
      {"ip-binding-list", "192.168.00.1/255.0.0.0", false, nullptr, nullptr},
      {"ip-binding-list", "10.0.0.1/255.0.0.0,10.0.0.2/255.0.0.0", false, nullptr, nullptr},
      {"lock-ports", "2", true, "2", nullptr},
      {"lock-ports", "01", false, nullptr, nullptr},
      {"lock-ports", "3", false, nullptr, nullptr},
      {"session-timeout", "60", true, "60", nullptr},
      {"session-timeout", "90", false, nullptr, nullptr},
      {"session-timeout", "0", false, nullptr, nullptr},
      {"session-timeout", "100", false, nullptr, nullptr},
      {"session-maximum", "32", true, "32", nullptr},
      {"session-maximum", "500", true, "500", nullptr},
      {"session-maximum", "31", false, nullptr, nullptr},
      {"session-maximum", "1000", false, nullptr, nullptr},
      {"ui-timeout", "3600", true, "3600", nullptr},
      {"ui-timeout", "9", false, nullptr, nullptr},
      {"ui-timeout", "36000", false, nullptr, nullptr},
      {"admin-group", "kel-no-such-group-1;;kel-no-such-group-2", true, "kel-no-such-group-1;;kel-no-such-group-2",
       "User group [kel-no-such-group-2] could not be verified to exist by the operating system"},
      {"operator-group", "root;gr\xc3\xbcn;sudo", false, nullptr,
       "User group [gr\xc3\xbcn] contains a non-ASCII character and failed validation"},
  };
  for (const Rule& r : rules) {
    std::filesystem::remove(Path("logs/kel.log"));
    std::string before = Text(r.setting);
    EXPECT_EQ(Validate(r.setting, r.value), r.accepted ? 1 : 0) << r.setting << " " << r.value;
    EXPECT_EQ(Text(r.setting), r.stored ? r.stored : before) << r.setting << " " << r.value;
    std::string log = Log();
    if (r.message) {
      EXPECT_NE(log.find(r.message), std::string::npos) << r.setting << " " << r.value << "\n" << log;
    } else if (r.accepted) {
      EXPECT_EQ(log, "") << r.setting << " " << r.value;
    }
  }
  // A refused group list logs its own line too.
  EXPECT_EQ(Validate("zqnamelist", longName), 0);
  EXPECT_EQ(Validate("ip-binding-list", sixEntries), 0);
  EXPECT_EQ(Validate("ip-binding-list", sixEntries.substr(0, sixEntries.rfind(';'))), 1);
  std::filesystem::remove(Path("logs/kel.log"));
  EXPECT_EQ(Validate("user-group", "gr\xc3\xbcn"), 0);
  EXPECT_NE(Log().find("UserGroup \"gr\xc3\xbcn\" is not valid, please reset the value\n"), std::string::npos);
}

TEST_F(ModelTest, ScriptForms) {
  Validate("admin-group", "a\"b\\c");
  Validate("ui-timeout", "256");
  Validate("ip-binding", "True");
  EXPECT_EQ(FindSetting(config_, "admin-group")->printScript(FindSetting(config_, "admin-group")),
            "admin_group=\"a\\\"b\\\\c\";\n");
  EXPECT_EQ(FindSetting(config_, "ui-timeout")->printScript(FindSetting(config_, "ui-timeout")), "ui_timeout=256;\n");
  EXPECT_EQ(FindSetting(config_, "ip-binding")->printScript(FindSetting(config_, "ip-binding")), "ip_binding=1;\n");
  for (const char* none : {"lock-ports", "session-timeout", "session-maximum"})
    EXPECT_EQ(FindSetting(config_, none)->printScript, nullptr) << none;
}

TEST_F(ModelTest, ControlCharactersAreRefusedInEverySetting) {
  const std::pair<const char*, const char*> refused[] = {
      {"admin-group", "admins\tusers"},     {"admin-group", "admins\n"},
      {"operator-group", "ops\r"},          {"user-group", "a\x7f"},
      {"localaccess-type", "Administrator\n"}, {"session-timeout", "9\n"},
      {"ui-timeout", "20\nX"},              {"session-maximum", "64\t"},
      {"anonymous-access", "True\n"},       {"trustmode", "TrustByAll\x01"},
      {"zqnamelist", "a\nb"},               {"lock-ports", "\x1b"},
      {"ip-restricted-include", "10.0.0.1\n"}, {"ip-binding-list", "\n"},
  };
  for (const auto& [name, value] : refused) {
    std::filesystem::remove(Path("logs/kel.log"));
    std::string before = Text(name);
    EXPECT_EQ(Validate(name, value), 0) << name;
    EXPECT_EQ(Text(name), before) << name;
    EXPECT_NE(Log().find(std::string("Setting ") + name + ": the value contains the control character"),
              std::string::npos) << name;
  }
  // Everything else keeps its rules: a group list may hold quotes and "$",
  // and the script form keeps them inside the string.
  ASSERT_EQ(Validate("admin-group", "wheel\";alert(1);//$x</script>"), 1);
  KelSetting* group = FindSetting(config_, "admin-group");
  EXPECT_EQ(group->printScript(group), "admin_group=\"wheel\\\";alert(1);//$x\\x3C/script\\x3E\";\n");
  EXPECT_EQ(Validate("session-timeout", "9"), 1);
}

TEST_F(ModelTest, ControlCharacterInTheFileGivesTheDefaultBack) {
  WriteFile(Path("conf/kelpd.xml"),
            "<kel-portal>\n<localaccess-type>Administrator\n</localaccess-type>\n<trustmode>TrustByAll</trustmode>\n"
            "</kel-portal>");
  ReadSettingsFile(config_);
  EXPECT_EQ(Text("localaccess-type"), "Anonymous");
  EXPECT_EQ(Text("trustmode"), "TrustByAll");
  EXPECT_NE(ReadFile(Path("conf/kelpd.xml")).find("<localaccess-type>Anonymous</localaccess-type>"), std::string::npos);
}

TEST_F(ModelTest, InternalValuesAreCopiesFromThePool) {
  Validate("ui-timeout", "256");
  char* v = GetConfigValue(pool_, config_, "UI-Timeout");
  ASSERT_NE(v, nullptr);
  int32_t n;
  memcpy(&n, v, 4);
  EXPECT_EQ(n, 256);
  EXPECT_STREQ(GetConfigValue(pool_, config_, "lock-ports"), "0");
  EXPECT_EQ(GetConfigValue(pool_, config_, "no-such-setting"), nullptr);
  EXPECT_EQ(GetConfigValue(pool_, config_, nullptr), nullptr);
  // A text of the full length still ends.
  std::string full(1024, 'z');
  ASSERT_EQ(Validate("zqnamelist", std::string(64, 'z')), 1);
  EXPECT_EQ(strlen(GetConfigValue(pool_, config_, "zqnamelist")), 64u);
  EXPECT_STREQ(GetSettingText(pool_, "allow-old-style-login"), "True");
  EXPECT_EQ(GetSettingText(pool_, "nothing"), nullptr);
}

const char kFile[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kel-portal>\n<session-timeout>90</session-timeout>\n"
    "<anonymous-access>maybe</anonymous-access>\n<trustmode>trustbyall</trustmode>\n<!-- kept -->\n"
    "<ui-timeout/>\n</kel-portal>";

TEST_F(ModelTest, ReadingTheFileWritesRejectedValuesBack) {
  WriteFile(Path("conf/kelpd.xml"), kFile);
  ReadSettingsFile(config_);
  EXPECT_EQ(Text("session-timeout"), "15");
  EXPECT_EQ(Text("anonymous-access"), "False");
  EXPECT_EQ(Text("trustmode"), "trustbyall");
  EXPECT_EQ(Text("ui-timeout"), "20");
  std::string file = ReadFile(Path("conf/kelpd.xml"));
  EXPECT_EQ(file,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kel-portal>\n<session-timeout>15</session-timeout>\n"
            "<anonymous-access>False</anonymous-access>\n<trustmode>trustbyall</trustmode>\n<!-- kept -->\n"
            "<ui-timeout>20</ui-timeout>\n</kel-portal>");
  std::string log = Log();
  EXPECT_NE(log.find("Boolean value \"maybe\" is not valid"), std::string::npos);
  EXPECT_EQ(log.find("session-timeout"), std::string::npos);
  std::regex one("\n\n[A-Z ]+ LOG \\(severity=");
  EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), one), std::sregex_iterator()), 1) << log;
}

TEST_F(ModelTest, UnreadableFileKeepsTheDefaults) {
  WriteFile(Path("conf/kelpd.xml"), "<kel-portal><trustmode>TrustByAll</trust");
  ReadSettingsFile(config_);
  EXPECT_EQ(Text("trustmode"), "TrustByCert");
  EXPECT_NE(Log().find("CRITICAL ERROR LOG (severity=3)"), std::string::npos);
  EXPECT_NE(Log().find("Failed to parse the KEL configuration file " + Path("conf/kelpd.xml") + "."),
            std::string::npos);
}

TEST_F(ModelTest, SettingOneValueWritesItAndAsksForARestartWhenNeeded) {
  WriteFile(Path("conf/kelpd.xml"), "<kel-portal>\n<trustmode>TrustByCert</trustmode>\n</kel-portal>");
  std::filesystem::create_directories(Path("run"));
  kel::test::FakeService service(ServiceSocketPath(), kStateRunning);

  EXPECT_EQ(SetConfigValue(config_, "trustmode", "TrustByName"), 1);
  EXPECT_EQ(SetConfigValue(config_, "session-timeout", "30"), 1);
  EXPECT_EQ(service.controls, 0);
  EXPECT_EQ(ReadFile(Path("conf/kelpd.xml")),
            "<kel-portal>\n<trustmode>TrustByName</trustmode>\n<session-timeout>30</session-timeout></kel-portal>");

  EXPECT_EQ(SetConfigValue(config_, "ip-binding", "True"), 1);
  EXPECT_EQ(service.controls, 1);
  // Refused, logged, and the restart is still asked for.
  EXPECT_EQ(SetConfigValue(config_, "ip-binding", "perhaps"), 0);
  EXPECT_EQ(service.controls, 2);
  EXPECT_NE(Log().find("Boolean value \"perhaps\" is not valid, please reset the Boolean value\n"), std::string::npos);
  EXPECT_EQ(SetConfigValue(config_, "nothing", "1"), 0);
  EXPECT_EQ(SetConfigValue(config_, "trustmode", nullptr), 0);
  std::filesystem::remove(Path("conf/kelpd.xml"));
  EXPECT_EQ(SetConfigValue(config_, "trustmode", "TrustByAll"), 0);  // no file to write
}

TEST_F(ModelTest, DebugCategories) {
  struct {
    std::string ini;
    std::map<int, bool> on;
  } cases[] = {
      {"kel_bc\nkel_ui\n", {{8, true}, {16, true}, {2, false}}},
      {"kel_bc\nKEL_BC\n", {{8, false}}},
      {"kel_b\n", {{8, true}}},
      {"kel_sso\nkel_orv\nnothing\n", {{128, true}, {256, true}, {64, false}}},
      // A line of more than 79 characters is read as several.
      {std::string(79, 'x') + "kel_config\n", {{2, true}}},
  };
  for (const auto& c : cases) {
    WriteFile(Path("conf/debug.ini"), c.ini);
    InitDiagnosticLog();
    for (auto [bit, on] : c.on) EXPECT_EQ(DebugCategory(bit) != 0, on) << c.ini << " bit " << bit;
  }
  std::filesystem::remove(Path("conf/debug.ini"));
  InitDiagnosticLog();
  EXPECT_EQ(DebugCategory(0xFFFF), 0);
  EXPECT_EQ(DebugOutput("%d", 1), 0);
}

TEST_F(ModelTest, ReaderGivesTheOldestTextFirst) {
  std::string log = Path("logs/kel.log");
  std::string out;
  EXPECT_FALSE(ReadRingLog(log, &out));
  RingLogWrite(log.c_str(), 0, "first <b>");
  RingLogWrite(log.c_str(), 2, "second");
  ASSERT_TRUE(ReadRingLog(log, &out));
  std::regex notWrapped("\nINFORMATION LOG \\(severity=0\\)  [^\n]+\nfirst &lt;b&gt;\n\nERROR LOG \\(severity=2\\)  "
                        "[^\n]+\nsecond");
  EXPECT_TRUE(std::regex_match(out, notWrapped)) << out;

  // Wrapped: the older tail after the write offset comes first.
  std::string big(90000, 'o');
  for (int i = 0; i < 3; ++i) RingLogWrite(log.c_str(), 0, (std::to_string(i) + big).c_str());
  RingLogWrite(log.c_str(), 1, "newest");
  out.clear();
  ASSERT_TRUE(ReadRingLog(log, &out));
  EXPECT_LT(out.find("2ooo"), out.find("newest"));
  EXPECT_EQ(out.find("newest") + 6, out.size());

  // A header past the end of a cut file does not make the reader loop.
  WriteFile(log, "0002FFFF\n\n\nWARNING LOG (severity=1)  x\ncut");
  out.clear();
  ASSERT_TRUE(ReadRingLog(log, &out));
  EXPECT_EQ(out, "\nWARNING LOG (severity=1)  x\ncut");
}

TEST_F(ModelTest, LogStaysWholeUnderThreadsAndAnotherProcess) {
  constexpr int kThreads = 8;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The service's writer: no lock of this process, the file lock only.
    for (int i = 0; std::chrono::steady_clock::now() < until && i < 200000; ++i)
      RingLogWrite(KelLogFilePath().c_str(), 0, ("service " + std::to_string(i) + " end").c_str());
    _exit(0);
  }
  std::vector<std::thread> threads;
  std::atomic<int> written{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; std::chrono::steady_clock::now() < until && i < 200000; ++i)
        if (LogOutput(1, "thread%d %d end", t, i) > 0) ++written;
    });
  for (auto& th : threads) th.join();
  int status;
  waitpid(child, &status, 0);
  ASSERT_GT(written, kThreads * 10);

  std::string out;
  ASSERT_TRUE(ReadRingLog(KelLogFilePath(), &out));
  std::regex record("\n\n(INFORMATION|WARNING) LOG \\(severity=[01]\\)  [A-Z][a-z]{2} [^\n]{20}\n(\\w+) (\\d+) end");
  std::map<std::string, long> last;
  size_t records = 0;
  // After the first cut line, the text is nothing but whole records.
  std::string rest = out.substr(out.find("\n\n"));
  auto it = std::sregex_iterator(rest.begin(), rest.end(), record);
  size_t covered = 0;
  for (; it != std::sregex_iterator(); ++it) {
    EXPECT_EQ(static_cast<size_t>(it->position()), covered) << "damaged text before a record";
    covered = it->position() + it->length();
    long n = std::stol((*it)[3]);
    std::string who = (*it)[2];
    if (last.count(who)) {
      EXPECT_GT(n, last[who]) << who;  // oldest first
    }
    last[who] = n;
    ++records;
  }
  EXPECT_EQ(covered, rest.size());
  EXPECT_GT(records, 100u);
  EXPECT_EQ(last.size(), static_cast<size_t>(kThreads + 1));
}

}  // namespace
