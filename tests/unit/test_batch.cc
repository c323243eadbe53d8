#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "cfg_batch.h"
#include "cfg_certs.h"
#include "cfg_webapps.h"
#include "cert_maker.h"
#include "cfg_settings_file.h"
#include "config_fixture.h"
#include "kel_files.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

std::string Pem(const char* cn) { return kel::test::MakePem(cn); }

class BatchTest : public kel::test::ConfigModuleTest {
 protected:
  void SetUp() override {
    ConfigModuleTest::SetUp();
    WriteFile(Path("conf/kelpd.xml"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<kel-portal>\n<anonymous-access>False</anonymous-access>\n"
              "<ip-binding>False</ip-binding>\n</kel-portal>");
    homepage_ = root_ + "/wbem/homepage";
    std::filesystem::create_directories(homepage_);
  }
  int Run(std::initializer_list<std::pair<const char*, std::string>> pairs, int flags, int* restart) {
    apr_table_t* batch = apr_table_make(pool_, 4);
    for (const auto& [k, v] : pairs) apr_table_add(batch, k, v.c_str());
    return SetMultipleKELCfgValue(pool_, config_, batch, flags, restart, nullptr, nullptr);
  }
  std::string homepage_;
};

TEST_F(BatchTest, LegacyKeyStoresWritesAndMirrors) {
  WriteFile(homepage_ + "/drkvexd.ini", "[General]\nName=x\n[VEXDConfiguration]\nAnonymousAccess=False\n");
  int restart = 0;
  ASSERT_EQ(Run({{"AnonymousAccess", "True"}}, kBatchStore | kBatchWrite, &restart), 1);
  EXPECT_EQ(restart, 0);
  EXPECT_STREQ(GetSettingText(pool_, "anonymous-access"), "True");
  EXPECT_NE(ReadFile(Path("conf/kelpd.xml")).find("<anonymous-access>True</anonymous-access>"), std::string::npos);
  EXPECT_EQ(ReadFile(homepage_ + "/drkvexd.ini"), "[General]\nName=x\n[VEXDConfiguration]\nAnonymousAccess=True\n");
  EXPECT_FALSE(std::filesystem::exists(homepage_ + "/drkvexdx.ini"));  // never created here
  EXPECT_FALSE(std::filesystem::exists(homepage_ + "/csorvconvert.ini"));
}

TEST_F(BatchTest, RefusedValueNeedsARestartAndChangesNothing) {
  int restart = 0;
  std::string before = ReadFile(Path("conf/kelpd.xml"));
  EXPECT_EQ(Run({{"ip-binding", "maybe"}, {"unknown-key", "x"}}, kBatchStore | kBatchWrite, &restart), 0);
  EXPECT_EQ(restart, 1);
  EXPECT_EQ(ReadFile(Path("conf/kelpd.xml")), before);
  EXPECT_NE(Log().find("Setting ip-binding in KEL internal configuration failed."), std::string::npos);
  EXPECT_EQ(Run({}, kBatchStore, &restart), 0);  // an empty batch
  std::filesystem::remove(Path("conf/kelpd.xml"));
  EXPECT_EQ(Run({{"trustmode", "TrustByAll"}}, kBatchStore | kBatchWrite, &restart), 0);
  EXPECT_STREQ(GetSettingText(pool_, "trustmode"), "TrustByCert");
}

TEST_F(BatchTest, CertificatesPurgeOnceThenImport) {
  ASSERT_EQ(AddRawCertificate(config_, Pem("old.example").c_str(), true, false), KEL_CERT_OK);
  int restart = 0;
  // Form-encoded markers and bare line feeds, as a browser may send them.
  std::string a = Pem("a.example"), b = Pem("b.example");
  for (size_t at = a.find(" CERTIFICATE"); at != std::string::npos; at = a.find(" CERTIFICATE", at + 1)) a[at] = '+';
  ASSERT_EQ(Run({{"ZQCert1", a}, {"ZQCert2", b}}, kBatchStore | kBatchWrite, &restart), 1);
  ASSERT_EQ(config_->trustedCerts->nelts, 2);
  EXPECT_FALSE(std::filesystem::exists(Path("certs/old.example.pem")));
  EXPECT_TRUE(std::filesystem::exists(Path("certs/a.example.pem")));
  EXPECT_TRUE(std::filesystem::exists(Path("certs/b.example.pem")));
  EXPECT_NE(ReadFile(Path("certs/a.example.pem")).find("-----BEGIN CERTIFICATE-----\r\n"), std::string::npos);

  // Group configuration: no purge, the group names, not in memory.
  ASSERT_EQ(Run({{"ZQCert", Pem("c.example")}, {"trustmode", "TrustByName"}}, kBatchWrite | kBatchGroupConfig,
                &restart), 1);
  EXPECT_TRUE(std::filesystem::exists(Path("certs/c.example.pem.ras")));
  EXPECT_TRUE(std::filesystem::exists(Path("certs/a.example.pem")));
  EXPECT_EQ(config_->trustedCerts->nelts, 2);
  EXPECT_STREQ(GetSettingText(pool_, "trustmode"), "TrustByCert");
  EXPECT_NE(ReadFile(Path("conf/kelpd.xml")).find("<trustmode>TrustByName</trustmode>"), std::string::npos);
}

// The certificate store as files (name -> bytes) and as the list.
std::map<std::string, std::string> StoreFiles(const std::string& dir) {
  std::map<std::string, std::string> files;
  if (std::filesystem::exists(dir))
    for (auto& e : std::filesystem::directory_iterator(dir))
      files[e.path().filename()] = ReadFile(e.path());
  return files;
}

class StoreBatchTest : public BatchTest {
 protected:
  void SetUp() override {
    BatchTest::SetUp();
    for (const char* cn : {"one.example", "two.example"})
      ASSERT_EQ(AddRawCertificate(config_, Pem(cn).c_str(), true, false), KEL_CERT_OK);
  }
  void TearDown() override {
    kel::testing::SetBeforeRenameHook(nullptr);
    BatchTest::TearDown();
  }
  std::vector<std::string> ListedCns() {
    std::vector<std::string> cns;
    auto* all = reinterpret_cast<TrustedCert*>(config_->trustedCerts->elts);
    for (int i = 0; i < config_->trustedCerts->nelts; ++i) cns.push_back(all[i].cn);
    return cns;
  }
};

TEST_F(StoreBatchTest, RefusedBatchChangesNothing) {
  const std::string expired = kel::test::MakePem("old.example", -7200, -3600), fresh = Pem("three.example");
  const std::vector<std::pair<const char*, std::string>> batches[] = {
      {{"ZQCert", "garbage"}},
      {{"session-timeout", "15"}, {"myZQCertx", "1"}},
      {{"trustmode", "TrustByAll"}, {"ZQCert", fresh}, {"anonymous-access", "maybe"}},
      {{"ZQCert1", fresh}, {"ZQCert2", expired}, {"trustmode", "TrustByName"}},
      {{"ZQCert", Pem("")}, {"zqnamelist", "a,b"}},
  };
  for (const auto& pairs : batches) {
    auto files = StoreFiles(Path("certs"));
    auto cns = ListedCns();
    std::string settings = ReadFile(Path("conf/kelpd.xml"));
    std::string ini = "[VEXDConfiguration]\nAnonymousAccess=False\n";
    WriteFile(homepage_ + "/drkvexd.ini", ini);
    apr_table_t* batch = apr_table_make(pool_, 4);
    for (const auto& [k, v] : pairs) apr_table_add(batch, k, v.c_str());
    int restart = 0;
    EXPECT_EQ(SetMultipleKELCfgValue(pool_, config_, batch, kBatchStore | kBatchWrite, &restart, nullptr, nullptr), 0)
        << pairs.front().first;
    EXPECT_EQ(StoreFiles(Path("certs")), files) << pairs.front().first;
    EXPECT_EQ(ListedCns(), cns);
    EXPECT_EQ(ReadFile(Path("conf/kelpd.xml")), settings);
    EXPECT_EQ(ReadFile(homepage_ + "/drkvexd.ini"), ini);
    // The values in memory are still the defaults.
    EXPECT_STREQ(GetSettingText(pool_, "trustmode"), "TrustByCert");
    EXPECT_STREQ(GetSettingText(pool_, "session-timeout"), "15");
    EXPECT_STREQ(GetSettingText(pool_, "zqnamelist"), "");
  }
  EXPECT_NE(Log().find("SetMultipleKELCfgValue: the batch was refused; nothing changed."), std::string::npos);
}

TEST_F(StoreBatchTest, ValidBatchReplacesTheStoreWholeAndQuietly) {
  std::string newOne = Pem("one.example");
  std::filesystem::remove(Path("logs/kel.log"));
  int restart = 0;
  ASSERT_EQ(Run({{"ZQCert1", newOne}, {"ZQCert2", Pem("three.example")}, {"trustmode", "TrustByName"}},
                kBatchStore | kBatchWrite, &restart), 1);
  auto files = StoreFiles(Path("certs"));
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files.count("two.example.pem"), 0u);
  EXPECT_NE(files["one.example.pem"].find(newOne.substr(30, 40)), std::string::npos);
  EXPECT_EQ(files.count("three.example.pem"), 1u);
  EXPECT_EQ(ListedCns(), (std::vector<std::string>{"one.example", "three.example"}));
  EXPECT_STREQ(GetSettingText(pool_, "trustmode"), "TrustByName");
  // Replacing the old store is no overwrite of another certificate.
  EXPECT_EQ(Log().find("overwriting existing certificate"), std::string::npos) << Log();
}

// Ends every staged file before its rename: the store cannot take it.
void FailCertificateRenames(const char* staged) {
  if (strstr(staged, "tempZQCert")) unlink(staged);
}

TEST_F(StoreBatchTest, ImportThatCannotCompleteKeepsTheOldCertificates) {
  kel::testing::SetBeforeRenameHook(FailCertificateRenames);
  int restart = 0;
  EXPECT_EQ(Run({{"ZQCert", Pem("three.example")}}, kBatchStore | kBatchWrite, &restart), 0);
  auto files = StoreFiles(Path("certs"));
  EXPECT_EQ(files.size(), 2u);
  EXPECT_EQ(files.count("one.example.pem") + files.count("two.example.pem"), 2u);
  EXPECT_EQ(ListedCns(), (std::vector<std::string>{"one.example", "two.example"}));
}

// Ends the settings file's replacement before its rename.
void FailSettingsRename(const char* staged) {
  if (strstr(staged, "kelpd.xml")) unlink(staged);
}

TEST_F(StoreBatchTest, SettingsFileThatCannotBeSavedFailsTheBatch) {
  std::string settings = ReadFile(Path("conf/kelpd.xml"));
  auto files = StoreFiles(Path("certs"));
  kel::testing::SetBeforeRenameHook(FailSettingsRename);
  int restart = 0;
  EXPECT_EQ(Run({{"trustmode", "TrustByAll"}, {"ZQCert", Pem("three.example")}}, kBatchStore | kBatchWrite, &restart),
            0);
  EXPECT_EQ(ReadFile(Path("conf/kelpd.xml")), settings);
  EXPECT_STREQ(GetSettingText(pool_, "trustmode"), "TrustByCert");  // memory claims nothing the file lacks
  EXPECT_EQ(StoreFiles(Path("certs")), files);
  EXPECT_NE(Log().find("Saving the KEL configuration file " + Path("conf/kelpd.xml") + " failed"), std::string::npos);
  // One setting at a time: the same.
  EXPECT_EQ(SetConfigValue(config_, "trustmode", "TrustByName"), 0);
  EXPECT_STREQ(GetSettingText(pool_, "trustmode"), "TrustByCert");
  kel::testing::SetBeforeRenameHook(nullptr);
  EXPECT_EQ(SetConfigValue(config_, "trustmode", "TrustByName"), 1);
  EXPECT_STREQ(GetSettingText(pool_, "trustmode"), "TrustByName");
}

TEST_F(BatchTest, IniMirrorLeavesNoFixedTemporaryFile) {
  // Another writer's file under the old fixed temporary name is not touched.
  WriteFile(homepage_ + "/csorvconvert.ini", "someone else's");
  WriteFile(homepage_ + "/drkvexdx.ini", "[VEXDConfiguration]\n");
  int restart = 0;
  ASSERT_EQ(Run({{"LocalAccessEnabled", "True"}}, kBatchStore | kBatchWrite, &restart), 1);
  EXPECT_EQ(ReadFile(homepage_ + "/drkvexdx.ini"),
            "[VEXDConfiguration]\nLocalAccessEnabled=True\nLocalAccessType=Anonymous\n");
  EXPECT_EQ(ReadFile(homepage_ + "/csorvconvert.ini"), "someone else's");
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(homepage_)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"csorvconvert.ini", "drkvexdx.ini"}));
}

TEST(CertificateTextTest, Normalisation) {
  EXPECT_EQ(NormaliseCertificateText("-----BEGIN+CERTIFICATE-----\r\nAB\r\n"), "-----BEGIN CERTIFICATE-----\r\nAB\r\n");
  EXPECT_EQ(NormaliseCertificateText("a\nb\r\nc\n"), "a\r\nb\r\nc\r\n");
  EXPECT_EQ(NormaliseCertificateText(std::string(5000, 'x')).size(), 4095u);
  EXPECT_EQ(NormaliseCertificateText(std::string(2000, ' ')).size(), 1365u);  // three each, escaped
}

class IniTest : public kel::test::TempBase {};

TEST_F(IniTest, SectionRules) {
  std::string ini = root_ + "/a.ini", tmp = root_ + "/csorvconvert.ini";
  IniPair pairs[] = {{"AnonymousAccess", "True"}, {"LocalSecurityAccess", ""}};
  WriteFile(ini, "  [Top]  \nx=1\n[VEXDConfiguration]\nAnonymousAccess=False\n\nLocalSecurityAccess=True\nKeep=1\n"
                 "[Next]\n\nAnonymousAccess=other section\n");
  ASSERT_TRUE(RewriteIniSection(ini, pairs, 2));
  EXPECT_EQ(ReadFile(ini), "[Top]\nx=1\n[VEXDConfiguration]\nKeep=1\nAnonymousAccess=True\n\n[Next]\n\n"
                           "AnonymousAccess=other section\n");
  WriteFile(ini, "[Other]\nk=v\n");
  ASSERT_TRUE(RewriteIniSection(ini, pairs, 2));
  EXPECT_EQ(ReadFile(ini), "[Other]\nk=v\nAnonymousAccess=True\n");
  EXPECT_FALSE(RewriteIniSection(root_ + "/missing.ini", pairs, 2));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/missing.ini"));
  EXPECT_FALSE(std::filesystem::exists(tmp));
}

// A legacy agent that records what it is sent and closes.
class Agent {
 public:
  Agent() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    listen(fd_, 4);
    thread_ = std::thread([this] {
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      char buf[256];
      ssize_t n;
      while ((n = recv(c, buf, sizeof buf, 0)) > 0) {
        received.append(buf, n);
        if (received.size() >= 36) break;
      }
      close(c);
    });
  }
  ~Agent() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    thread_.join();
  }
  unsigned port = 0;
  std::string received;

 private:
  int fd_;
  std::thread thread_;
};

TEST_F(BatchTest, EveryLegacyAgentGetsTheReloadNotice) {
  Agent one, two;
  for (Agent* a : {&one, &two}) {
    WebApp r;
    memset(&r, 0, sizeof r);
    snprintf(r.sAppName, sizeof r.sAppName, "agent%u", a->port);
    r.vexoPort = a->port;
    AddWebApp(config_, &r, nullptr, nullptr);
  }
  WebApp plain;
  memset(&plain, 0, sizeof plain);
  snprintf(plain.sAppName, sizeof plain.sAppName, "registered");
  AddWebApp(config_, &plain, nullptr, nullptr);
  int restart = 0;
  ASSERT_EQ(Run({{"trustmode", "TrustByAll"}}, kBatchStore | kBatchWrite, &restart), 1);
  const std::string notice("GET /Proxy/ReloadIniFile HTTP/1.0\r\n\0", 36);
  EXPECT_EQ(one.received, notice);
  EXPECT_EQ(two.received, notice);
}

}  // namespace
