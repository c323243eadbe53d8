#include <gtest/gtest.h>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cfg_certs.h"
#include "cert_maker.h"
#include "config_fixture.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

class CertStoreTest : public kel::test::ConfigModuleTest {
 protected:
  void SetUp() override {
    ConfigModuleTest::SetUp();
    certs_ = Path("certs");
  }
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    if (std::filesystem::exists(certs_))
      for (auto& e : std::filesystem::directory_iterator(certs_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  int Count() { return config_->trustedCerts->nelts; }
  TrustedCert* At(int i) { return reinterpret_cast<TrustedCert*>(config_->trustedCerts->elts) + i; }
  std::string certs_;
};

TEST_F(CertStoreTest, ImportStoresListsAndOverwrites) {
  std::string pem = kel::test::MakePem("Server1.Example");
  ASSERT_EQ(AddRawCertificate(config_, pem.c_str(), true, false), KEL_CERT_OK);
  EXPECT_EQ(Files(), std::vector<std::string>{"server1.example.pem"});
  ASSERT_EQ(Count(), 1);
  EXPECT_EQ(std::string(At(0)->path), certs_ + "/server1.example.pem");
  EXPECT_STREQ(At(0)->cn, "server1.example");
  EXPECT_EQ(std::string(At(0)->pem), pem.substr(0, 2047));
  EXPECT_EQ(ReadFile(certs_ + "/server1.example.pem"), pem);

  std::string again = kel::test::MakePem("server1.example");
  ASSERT_EQ(AddRawCertificate(config_, again.c_str(), true, false), KEL_CERT_OK);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(ReadFile(certs_ + "/server1.example.pem"), again);
  EXPECT_NE(Log().find("WARNING LOG (severity=1)"), std::string::npos);
  EXPECT_NE(Log().find("Importing certificate from server server1.example: overwriting existing certificate"),
            std::string::npos);

  TrustedCert* list = nullptr;
  EXPECT_EQ(ListCertificates(pool_, config_, &list), 1);
  EXPECT_STREQ(CertificateByCn(pool_, config_, "SERVER1.EXAMPLE")->cn, "server1.example");
  EXPECT_EQ(CertificateByCn(pool_, config_, "other"), nullptr);
  for (const char* name : {"server1.example.pem", "SERVER1.EXAMPLE.PEM"})
    EXPECT_NE(CertificateByFileName(pool_, config_, name), nullptr) << name;
  // Whatever the separators in the stored path.
  std::string back = At(0)->path;
  for (char& c : back)
    if (c == '/') c = '\\';
  snprintf(At(0)->path, sizeof At(0)->path, "%s", back.c_str());
  EXPECT_NE(CertificateByFileName(pool_, config_, "server1.example.pem"), nullptr);
}

TEST_F(CertStoreTest, RefusedImportsLeaveNothing) {
  struct {
    std::string text;
    int result;
    const char* message;
  } cases[] = {
      {kel::test::MakePem("old.example", -7200, -3600), KEL_CERT_NOT_VALID_NOW, "Add certificate failed...expired certificate"},
      {kel::test::MakePem("future.example", 3600, 7200), KEL_CERT_NOT_VALID_NOW, "Add certificate failed...expired certificate"},
      {"this is not a certificate", KEL_CERT_NOT_A_CERTIFICATE, "failed : NULL pointer in its x509 field."},
      {kel::test::MakePem(""), KEL_CERT_NOT_A_CERTIFICATE, "failed : no valid \"CN\" in the added certificate content."},
      {kel::test::MakePem(".."), KEL_CERT_NOT_A_CERTIFICATE, "failed : no valid \"CN\" in the added certificate content."},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(Path("logs/kel.log"));
    EXPECT_EQ(AddRawCertificate(config_, c.text.c_str(), true, false), c.result) << c.message;
    EXPECT_EQ(Files(), std::vector<std::string>{}) << c.message;  // no temporary file either
    EXPECT_EQ(Count(), 0);
    EXPECT_NE(Log().find(c.message), std::string::npos) << Log();
  }
  EXPECT_EQ(AddRawCertificate(config_, nullptr, true, false), KEL_CERT_FILE_ERROR);
}

TEST_F(CertStoreTest, NamesStayInsideTheStore) {
  for (const char* cn : {"../../x", "a/b", "evil\\name", "sp ace"}) {
    ASSERT_EQ(AddRawCertificate(config_, kel::test::MakePem(cn).c_str(), false, false), KEL_CERT_OK) << cn;
  }
  std::vector<std::string> files = Files();
  ASSERT_EQ(files.size(), 4u);
  for (const std::string& f : files) {
    EXPECT_EQ(f.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789._-"), std::string::npos) << f;
    EXPECT_EQ(f.substr(f.size() - 4), ".pem") << f;
  }
  EXPECT_FALSE(std::filesystem::exists(root_ + "/x.pem"));
  EXPECT_FALSE(std::filesystem::exists(base_ + "/x.pem"));
  EXPECT_EQ(CertificateFileName("..."), "");
  EXPECT_EQ(CertificateFileName("Mgmt-1_a.b"), "Mgmt-1_a.b");
}

TEST_F(CertStoreTest, WholeCommonNameNamesTheFile) {
  ASSERT_EQ(AddRawCertificate(config_, kel::test::MakePem("x").c_str(), true, false), KEL_CERT_OK);
  std::string x = ReadFile(certs_ + "/x.pem");
  std::filesystem::remove(Path("logs/kel.log"));
  ASSERT_EQ(AddRawCertificate(config_, kel::test::MakePem("x&y").c_str(), true, false), KEL_CERT_OK);
  EXPECT_EQ(Files(), (std::vector<std::string>{"x.pem", "x_y.pem"}));
  EXPECT_EQ(ReadFile(certs_ + "/x.pem"), x);
  ASSERT_EQ(Count(), 2);
  EXPECT_STREQ(At(1)->cn, "x&y");
  EXPECT_EQ(Log().find("overwriting"), std::string::npos);
  // A name that sanitises to a taken file says it replaces that one.
  ASSERT_EQ(AddRawCertificate(config_, kel::test::MakePem("x y").c_str(), true, false), KEL_CERT_OK);
  EXPECT_NE(Log().find("Importing certificate from server x y: overwriting existing certificate"), std::string::npos)
      << Log();
  EXPECT_EQ(Files(), (std::vector<std::string>{"x.pem", "x_y.pem"}));
  ASSERT_EQ(Count(), 2);
  EXPECT_STREQ(At(1)->cn, "x y");
}

TEST_F(CertStoreTest, GroupConfigurationNamesAndLongNames) {
  std::string pem = kel::test::MakePem("server1.example");
  ASSERT_EQ(AddRawCertificate(config_, pem.c_str(), false, true), KEL_CERT_OK);
  ASSERT_EQ(AddRawCertificate(config_, pem.c_str(), false, true), KEL_CERT_OK);
  EXPECT_EQ(Files(), (std::vector<std::string>{"server1.example.1.pem.ras", "server1.example.pem.ras"}));
  EXPECT_EQ(Count(), 0);  // they join the list at the next start

  std::string longCn(120, 'l');
  ASSERT_EQ(AddRawCertificate(config_, kel::test::MakePem(longCn).c_str(), true, false), KEL_CERT_OK);
  std::string stored = std::filesystem::path(At(0)->path).filename();
  EXPECT_EQ(stored.substr(0, 100), longCn.substr(0, 100));
  EXPECT_EQ(stored.substr(stored.size() - 4), ".pem");
  EXPECT_EQ(std::filesystem::path(At(0)->path).parent_path(), certs_);
}

TEST_F(CertStoreTest, StartUpLoadsCertificatesAndRemovesTheRest) {
  std::filesystem::create_directories(certs_);
  WriteFile(certs_ + "/mgmt.pem", kel::test::MakePem("mgmt.example"));
  WriteFile(certs_ + "/expired.pem", kel::test::MakePem("expired.example", -7200, -3600));  // loaded: only imports check
  WriteFile(certs_ + "/left.pem.ras", kel::test::MakePem("left.example"));
  WriteFile(certs_ + "/notes.txt", "not a certificate");
  LoadTrustedCerts(pool_, config_);
  EXPECT_EQ(Files(), (std::vector<std::string>{"expired.pem", "mgmt.pem"}));
  EXPECT_EQ(Count(), 2);
  std::string log = Log();
  EXPECT_NE(log.find("Leftover cert file from incomplete Replicate Agent Settings task removed: " + certs_ +
                     "/left.pem.ras\n"), std::string::npos);
  EXPECT_NE(log.find("Adding certificate " + certs_ + "/notes.txt failed : NULL pointer in x509 field."),
            std::string::npos);
}

TEST_F(CertStoreTest, StartUpRemovesAnInterruptedImport) {
  std::filesystem::create_directories(certs_);
  WriteFile(certs_ + "/tempZQCert.pem.Ab12Cd", kel::test::MakePem("half.example"));
  LoadTrustedCerts(pool_, config_);
  EXPECT_EQ(Files(), std::vector<std::string>{});
  EXPECT_EQ(Count(), 0);
  EXPECT_NE(Log().find("Leftover file of an interrupted certificate import removed: " + certs_ +
                       "/tempZQCert.pem.Ab12Cd"), std::string::npos);
}

TEST_F(CertStoreTest, RemoveAndPurge) {
  ASSERT_EQ(AddRawCertificate(config_, kel::test::MakePem("a.example").c_str(), true, false), KEL_CERT_OK);
  ASSERT_EQ(AddRawCertificate(config_, kel::test::MakePem("b.example").c_str(), true, false), KEL_CERT_OK);
  std::string a = At(0)->path;
  EXPECT_EQ(RemoveCertificateFile(config_, a.c_str()), 1);
  EXPECT_FALSE(std::filesystem::exists(a));
  EXPECT_EQ(Count(), 1);
  // On disk but not listed: deleted, and the result says no record went.
  WriteFile(certs_ + "/stray.pem", "x");
  EXPECT_EQ(RemoveCertificateFile(config_, (certs_ + "/stray.pem").c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(certs_ + "/stray.pem"));
  // Nothing outside the store is deleted.
  WriteFile(Path("conf/keep.pem"), "x");
  EXPECT_EQ(RemoveCertificateFile(config_, (certs_ + "/../conf/keep.pem").c_str()), 0);
  EXPECT_TRUE(std::filesystem::exists(Path("conf/keep.pem")));
  EXPECT_NE(Log().find("Remove certificate " + certs_ + "/../conf/keep.pem failed."), std::string::npos);

  EXPECT_EQ(PurgeTrustedCerts(true, true), 1);
  EXPECT_EQ(Count(), 0);
  EXPECT_EQ(Files(), std::vector<std::string>{});
}

TEST_F(CertStoreTest, ViewsAtOnceDoNotMix) {
  std::vector<std::string> paths;
  for (const char* cn : {"view-a.example", "view-b.example"}) {
    ASSERT_EQ(AddRawCertificate(config_, kel::test::MakePem(std::string(cn) + "<b>").c_str(), true, false), KEL_CERT_OK);
    paths.push_back(At(Count() - 1)->path);
  }
  std::string dump;
  ASSERT_TRUE(CertificateDump(paths[0].c_str(), &dump));
  EXPECT_NE(dump.find("Certificate:"), std::string::npos);
  EXPECT_NE(dump.find("CN=view-a.example&lt;b&gt;"), std::string::npos) << dump;
  EXPECT_FALSE(CertificateDump(nullptr, &dump));
  EXPECT_FALSE(CertificateDump((certs_ + "/none.pem").c_str(), &dump));

  std::atomic<bool> mixed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        std::string d;
        const std::string& p = paths[t % 2];
        if (!CertificateDump(p.c_str(), &d)) mixed = true;
        const char* mine = t % 2 ? "view-b.example" : "view-a.example";
        const char* other = t % 2 ? "view-a.example" : "view-b.example";
        if (d.find(mine) == std::string::npos || d.find(other) != std::string::npos) mixed = true;
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_FALSE(mixed);
  EXPECT_FALSE(std::filesystem::exists(certs_ + "/cert.tmp"));
}

}  // namespace
