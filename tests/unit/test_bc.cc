// The legacy agent module's core: ACL file, cookie, status reports, map keys.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "apr_general.h"
#include "bc_core.h"
#include "kel_test_env.h"

namespace {

using kel::test::WriteFile;

// One group record of DRKVEXD.ACL: 266 bytes.
std::string Record(int32_t present, const std::string& name, const std::string& hash) {
  std::string r(266, '\0');
  memcpy(r.data(), &present, 4);
  memcpy(r.data() + 8, name.data(), name.size());
  memcpy(r.data() + 200, hash.data(), hash.size());
  return r;
}

const std::string kHeader("Dornik-WBEM-AclFile, 1.1\0", 25);

class AclTest : public kel::test::TempBase {
 protected:
  void SetUp() override {
    TempBase::SetUp();
    std::filesystem::create_directories(root_ + "/wbem");
    apr_initialize();
    apr_pool_create(&pool_, nullptr);
    memset(&config_, 0, sizeof config_);
  }
  void TearDown() override {
    apr_pool_destroy(pool_);
    apr_terminate();
    TempBase::TearDown();
  }
  int Read(const std::string& bytes) {
    WriteFile(root_ + "/wbem/DRKVEXD.ACL", bytes);
    return getOrvACL(pool_, &config_, BcLogSink());
  }
  apr_pool_t* pool_ = nullptr;
  KelBcServerConfig config_;
};

TEST_F(AclTest, RecordsUpToTheFirstThatIsNotPresent) {
  std::string file = kHeader + Record(1, "anonymous", "AAA") + Record(2, "operator", "OOO") +
                     Record(3, "administrator", "DDD") + Record(0, "user", "UUU") + Record(5, "user", "U2");
  EXPECT_EQ(Read(file), 1);
  EXPECT_STREQ(config_.orvAnonymousHash, "AAA");
  EXPECT_STREQ(config_.orvOperatorHash, "OOO");
  EXPECT_STREQ(config_.orvAdministratorHash, "DDD");
  EXPECT_STREQ(config_.orvUserHash, "");
}

TEST_F(AclTest, NamesMatchExactlyAndLaterRecordsWin) {
  std::string file = kHeader + Record(1, "Operator", "X") + Record(1, "user", "U1") + Record(1, "user", "U2");
  EXPECT_EQ(Read(file), 1);
  EXPECT_STREQ(config_.orvOperatorHash, "");
  EXPECT_STREQ(config_.orvUserHash, "U2");
}

TEST_F(AclTest, UnusableFiles) {
  std::string badHeader = kHeader;
  badHeader[23] = '2';  // "... 1.2"
  struct Case {
    const char* what;
    std::string bytes;
    int result;
  } cases[] = {
      {"header differs in its 24th character", badHeader + Record(1, "user", "U"), 0},
      {"shorter than the header", kHeader.substr(0, 20), 0},
      // A record cut short is not read; the file is still good.
      {"a record cut short", kHeader + Record(1, "user", "U").substr(0, 100), 1},
      {"only the header", kHeader, 1},
  };
  for (const Case& c : cases) {
    memset(&config_, 0, sizeof config_);
    EXPECT_EQ(Read(c.bytes), c.result) << c.what;
    EXPECT_STREQ(config_.orvUserHash, "") << c.what;
  }
}

TEST(AclBytes, FieldsWithoutTheirZeroAreBoundedByTheirSize) {
  KelBcServerConfig config{};
  std::string name(192, 'x');
  memcpy(name.data(), "administrator", 14);
  std::string file = kHeader + Record(1, name, std::string(66, 'H'));
  EXPECT_EQ(ParseOrvAcl(file.data(), file.size(), &config, BcLogSink()), 1);
  EXPECT_EQ(std::string(config.orvAdministratorHash), std::string(66, 'H'));
  EXPECT_EQ(ParseOrvAcl(file.data(), 24, &config, BcLogSink()), 0);
}

TEST_F(AclTest, NoFileIsSuccess) {
  EXPECT_EQ(getOrvACL(pool_, &config_, BcLogSink()), 1);
  EXPECT_STREQ(config_.orvAdministratorHash, "");
}

TEST(OrvCookie, EmptyHashesStillGiveTheWholeValue) {
  KelBcServerConfig config{};
  std::string cookie = OrvCookieFor(&config, nullptr);
  EXPECT_EQ(cookie,
            "Dornik-VEXD=00000004000300BC614E000392AB77BB10A6FE7EDAEF3337D089149D00BC614E0100007F"
            "9488021C68946A2CF99751A8AD0E0141");
  EXPECT_EQ(cookie.size() - strlen("Dornik-VEXD="), 104u);
  EXPECT_EQ(OrvDigestHex(""), "D41D8CD98F00B204E9800998ECF8427E");
}

TEST(OrvCookie, TheLevelChoosesTheHash) {
  KelBcServerConfig config{};
  strcpy(config.orvAdministratorHash, "0123456789ABCDEF0123456789ABCDEF");
  const char* admin =
      "Dornik-VEXD=00000004000300BC614E0003296DF7FDEF480F01E056910DE77CE9DE00BC614E0100007F"
      "32D8ABB83E81C90BF5E88D8F8DA55CC8";
  EXPECT_EQ(OrvCookieFor(&config, "4"), admin);
  EXPECT_EQ(OrvCookieFor(&config, "42"), admin);  // the first character decides
  EXPECT_EQ(OrvCookieFor(&config, "0"), OrvCookieFor(&config, nullptr));
  EXPECT_EQ(OrvCookieFor(&config, "3"), OrvCookieFor(&config, "1"));  // both empty here
}

TEST(OrvCookie, UserNameTexts) {
  struct {
    const char* note;
    const char* text;
  } cases[] = {{nullptr, "anonymous"}, {"1", "anonymous"}, {"2", "user"}, {"3", "operator"},
               {"4", "administrator"}, {"0", "invalid"}, {"12", "invalid"}, {"-1", "invalid"}};
  for (auto& c : cases) EXPECT_STREQ(OrvUserNameFor(c.note), c.text) << (c.note ? c.note : "(none)");
}

TEST(OrvAuthUser, Cases) {
  KelBcServerConfig config{};
  strcpy(config.orvOperatorHash, "9E491A182525E15313A2E819FEBED8B3");       // operator:op-secret
  strcpy(config.orvAdministratorHash, "4D9DD440F54AAEF233F44EC1B50D0681");  // Administrator:adm
  struct {
    const char* user;
    const char* password;
    int result;
  } cases[] = {
      {"operator", "op-secret", 2}, {"OPERATOR", "op-secret", 0},  // the name enters the digest as typed
      {"operator", "wrong", 0},     {"Administrator", "adm", 1},
      {"administrator", "adm", 0},  {"user", "op-secret", 0},
  };
  for (auto& c : cases) EXPECT_EQ(OrvAuthUserWith(&config, c.user, c.password), c.result) << c.user;
  KelBcServerConfig empty{};
  EXPECT_EQ(OrvAuthUserWith(&empty, "operator", ""), 0);
}

// A report as an agent sends it: the leading block, then its entry.
std::string Report(const std::string& entry) {
  return "Status=OK\r\nISAPIExtension=/leading\r\nVersion=1\r\n" + entry;
}

TEST(VexoReport, EntryFields) {
  WebApp app;
  BcTrace trace;
  ASSERT_TRUE(ParseVexoReport(
      Report("ISAPIExtension=/MyAgent\r\nROOTUrl=/MyAgent/index.htm\r\nVEXOName=My Agent\r\nCIMOM=0\r\n"
             "Hidden=yes\r\nHTTPServer=Dornik HTTP Server 4.2\r\nISAPIExtension=/Second\r\nVEXOName=Late\r\n")
          .c_str(),
      49403, &app, &trace));
  EXPECT_STREQ(app.sAppName, "MyAgent");
  EXPECT_STREQ(app.marketname, "My Agent");
  EXPECT_STREQ(app.entryurl, "/MyAgent/index.htm");
  EXPECT_STREQ(app.cimomurl, "/MyAgent/cimom");
  EXPECT_EQ(app.cimom, 0);
  EXPECT_EQ(app.hidden, 1);
  EXPECT_EQ(app.isactive, 1);
  EXPECT_EQ(app.vexoPort, 49403u);
  EXPECT_STREQ(app.httpServer, "Dornik HTTP Server 4.2");
}

TEST(VexoReport, Cases) {
  struct {
    const char* what;
    std::string report;
    bool usable;
    int hidden;
  } cases[] = {
      {"a single ISAPIExtension", "ISAPIExtension=/only\r\nVEXOName=x\r\n", false, 0},
      {"hidden 1 is not hidden", Report("ISAPIExtension=/a\r\nHidden=1\r\n"), true, 0},
      {"hidden YES", Report("ISAPIExtension=/a\r\nHidden=YES\r\n"), true, 1},
      {"an empty name", Report("ISAPIExtension=\r\n"), false, 0},
      {"nothing after the first", "ISAPIExtension", false, 0},
  };
  for (auto& c : cases) {
    WebApp app;
    BcTrace trace;
    EXPECT_EQ(ParseVexoReport(c.report.c_str(), 49400, &app, &trace), c.usable) << c.what;
    if (c.usable) {
      EXPECT_EQ(app.hidden, c.hidden) << c.what;
    }
  }
}

TEST(VexoReport, ExtensionBase) {
  struct {
    const char* body;
    const char* home;
  } cases[] = {
      {"C:/agents/ravlend/html/", "C:/agents/ravlend/sm"},
      {"/opt/agent/html/", "/opt/agent"},
      {"html/", ""},
      {"/opt/agent/web/", ""},
  };
  for (auto& c : cases) {
    WebApp app{};
    ApplyExtensionBase(c.body, &app);
    EXPECT_STREQ(app.extensionBase, c.body);
    EXPECT_STREQ(app.vexoHomeDirectory, c.home) << c.body;
  }
}

TEST(VexoMap, ThreeLinesPerAgent) {
  EXPECT_EQ(VexoMapLines("MyAgent", 49401),
            "MyAgent http://127.0.0.1:49401 \nmyagent http://127.0.0.1:49401 \nMYAGENT HTTP://127.0.0.1:49401 \n");
}

class MapKeyTest : public kel::test::TempBase {};

TEST_F(MapKeyTest, OnlyNamesThatCannotReachElsewhere) {
  std::filesystem::create_directories(Path("data/htdocs/login"));
  std::filesystem::create_directories(Path("data/isdocs"));
  WriteFile(Path("data/isdocs/index.html"), "x");
  struct {
    const char* name;
    bool key;
  } cases[] = {
      {"MyAgent", true},       {"agent-1.2_x~", true},  {"a b", false},  {"a\thttp://10.0.0.1:80", false},
      {"a/b", false},          {"#x", false},           {".", false},    {"..", false},
      {"", false},             {"Proxy", false},        {"CIMOM", false}, {"LOGIN", false},
      {"Index.HTML", false},   {"caf\xc3\xa9", false},
  };
  for (auto& c : cases) EXPECT_EQ(VexoNameIsMapKey(c.name, base_), c.key) << c.name;
}

}  // namespace
