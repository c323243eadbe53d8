// The certificate module's core: the signing request, the key helper's two
// questions, what the web server could serve, and the PKCS#7 import.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "cert_maker.h"
#include "kel_files.h"
#include "kel_test_env.h"
#include "kel_unixsock.h"
#include "pkcs_import.h"
#include "pkcs_keyhelper.h"
#include "pkcs_request.h"

namespace {

using kel::test::MakeIssued;
using kel::test::PemOf;
using kel::test::Pkcs7Pem;
using kel::test::ReadFile;
using kel::test::WriteFile;

std::string KeyPem(EVP_PKEY* key) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey_traditional(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  char* data;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, n);
}

X509ReqPtr ParseRequest(const std::string& pem) {
  BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  return X509ReqPtr(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
}

mode_t Mode(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(PkcsRequest, SubjectInOrderSignedWithSha256WithoutExtensions) {
  EvpPkeyPtr key(EVP_RSA_gen(2048));
  PkcsSubject subject;
  subject.organization = "ACME Corp";
  subject.commonName = "host.example";
  std::string pem;
  RequestOutcome out = MakeSignedRequest(key.get(), subject, &pem);
  ASSERT_TRUE(out.ok());
  X509ReqPtr req = ParseRequest(pem);
  ASSERT_TRUE(req);
  EXPECT_EQ(X509_REQ_get_version(req.get()), 0);
  EXPECT_EQ(X509_REQ_verify(req.get(), key.get()), 1);
  EXPECT_EQ(X509_REQ_get_signature_nid(req.get()), NID_sha256WithRSAEncryption);
  STACK_OF(X509_EXTENSION)* exts = X509_REQ_get_extensions(req.get());
  EXPECT_EQ(sk_X509_EXTENSION_num(exts), 0);
  sk_X509_EXTENSION_pop_free(exts, X509_EXTENSION_free);
  char line[512];
  X509_NAME_oneline(X509_REQ_get_subject_name(req.get()), line, sizeof line);
  EXPECT_STREQ(line,
               "/C=US/ST=Vendria/L=Tolsburg/O=ACME Corp/OU=Varnholt Network Management Software (KEL)"
               "/CN=host.example");
}

class PkcsFiles : public kel::test::TempBase {
 protected:
  void SetUp() override {
    TempBase::SetUp();
    ssl_ = root_ + "/ssl";
    work_ = base_ + "/data";
    std::filesystem::create_directories(ssl_);
    std::filesystem::create_directories(work_);
    key_.reset(EVP_RSA_gen(2048));
    keyPath_ = ssl_ + "/file.pem";
    WriteFile(keyPath_, KeyPem(key_.get()));
    chmod(keyPath_.c_str(), 0600);
    caKey_.reset(EVP_RSA_gen(2048));
    ca_ = MakeIssued("Test CA", caKey_.get(), nullptr, nullptr, EVP_sha256(), true);
    WriteFile(ssl_ + "/cert.pem", "old certificate\n");
  }
  // The match as the key helper answers it, without the helper.
  KeyMatcher Matcher() {
    return [this](X509* cert) {
      KeyAnswer a;
      a.reached = true;
      a.code = X509_check_private_key(cert, key_.get()) == 1 ? kKeyMatches : kKeyDiffers;
      ERR_clear_error();
      return a;
    };
  }
  ImportOutcome Import(const std::string& text, KeyMatcher m = nullptr) {
    return InstallFromPkcs7(text, ImportPaths{work_, ssl_}, m ? m : Matcher(), time(nullptr));
  }
  X509Ptr ServerCert(const EVP_MD* md = EVP_sha256(), long from = -60, long to = 86400) {
    return MakeIssued("host.example", key_.get(), ca_.get(), caKey_.get(), md, false, from, to);
  }
  std::string ssl_, work_, keyPath_;
  EvpPkeyPtr key_, caKey_;
  X509Ptr ca_;
};

TEST_F(PkcsFiles, ServerKeyThatCannotBeHad) {
  EvpPkeyPtr key;
  EXPECT_EQ(ReadServerKey(ssl_ + "/missing.pem", &key), RequestFailure::kOpenKey);
  WriteFile(ssl_ + "/garbage.pem", "not a key\n");
  EXPECT_EQ(ReadServerKey(ssl_ + "/garbage.pem", &key), RequestFailure::kReadKey);
  // An encrypted key fails instead of asking for a pass phrase.
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PrivateKey(bio.get(), key_.get(), EVP_aes_128_cbc(), nullptr, 0, nullptr, const_cast<char*>("pw"));
  char* data;
  long n = BIO_get_mem_data(bio.get(), &data);
  WriteFile(ssl_ + "/encrypted.pem", std::string(data, n));
  EXPECT_EQ(ReadServerKey(ssl_ + "/encrypted.pem", &key), RequestFailure::kReadKey);
  ERR_clear_error();
  EXPECT_EQ(ReadServerKey(keyPath_, &key), RequestFailure::kNone);
  EXPECT_EQ(EVP_PKEY_eq(key.get(), key_.get()), 1);
}

class KeyHelper : public PkcsFiles {
 protected:
  void SetUp() override {
    PkcsFiles::SetUp();
    socket_ = base_ + "/kelkey.sock";
    fd_ = ListenUnixSocket(socket_, 0660, 8);
    ASSERT_GE(fd_, 0);
    server_ = std::thread([this]() { ServeKeyRequests(fd_, keyPath_); });
  }
  void TearDown() override {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
    server_.join();
    PkcsFiles::TearDown();
  }
  std::string socket_;
  int fd_ = -1;
  std::thread server_;
};

TEST_F(KeyHelper, SignsTheSubjectWithTheServerKey) {
  PkcsSubject subject;
  subject.unit = "IT Dept";
  subject.commonName = "host.example";
  KeyAnswer a = AskKeyHelperToSign(socket_, subject);
  ASSERT_TRUE(a.reached);
  ASSERT_EQ(a.code, 0);
  EXPECT_EQ(a.data.find("PRIVATE KEY"), std::string::npos);
  X509ReqPtr req = ParseRequest(a.data);
  ASSERT_TRUE(req);
  EXPECT_EQ(X509_REQ_verify(req.get(), key_.get()), 1);
  char line[512];
  X509_NAME_oneline(X509_REQ_get_subject_name(req.get()), line, sizeof line);
  EXPECT_STREQ(line, "/C=US/ST=Vendria/L=Tolsburg/O=Varnholt Company/OU=IT Dept/CN=host.example");
}

TEST_F(KeyHelper, AnswersWhetherACertificateBelongsToTheKey) {
  EXPECT_EQ(AskKeyHelperToMatch(socket_, ServerCert().get()).code, kKeyMatches);
  EXPECT_EQ(AskKeyHelperToMatch(socket_, ca_.get()).code, kKeyDiffers);
  // The key is read afresh for each question.
  std::filesystem::remove(keyPath_);
  KeyAnswer a = AskKeyHelperToMatch(socket_, ServerCert().get());
  EXPECT_TRUE(a.reached);
  EXPECT_EQ(a.code, static_cast<int>(RequestFailure::kOpenKey));
  EXPECT_EQ(AskKeyHelperToSign(socket_, PkcsSubject{}).code, static_cast<int>(RequestFailure::kOpenKey));
}

TEST_F(KeyHelper, RefusesWhatIsNotAQuestion) {
  PkcsSubject tooLong;
  tooLong.organization = std::string(65, 'a');
  EXPECT_EQ(AskKeyHelperToSign(socket_, tooLong).code, kKeyMalformed);
  // Raw questions: an unknown one, a certificate that is not DER, and a
  // length over the limit (the helper drops the connection).
  struct Raw {
    std::string body;
    bool answered;
  } cases[] = {{"X", true}, {"Mgarbage", true}, {"", false}};
  for (const Raw& c : cases) {
    int fd = ConnectUnixSocket(socket_, 5);
    ASSERT_GE(fd, 0);
    uint32_t length = htonl(c.body.empty() ? 1u << 30 : static_cast<uint32_t>(c.body.size()));
    ASSERT_TRUE(SendAll(fd, &length, sizeof length));
    if (!c.body.empty()) {
      ASSERT_TRUE(SendAll(fd, c.body.data(), c.body.size()));
    }
    uint32_t replyLength = 0;
    unsigned char code = 0;
    bool got = RecvAll(fd, &replyLength, sizeof replyLength) && RecvAll(fd, &code, 1);
    close(fd);
    EXPECT_EQ(got, c.answered) << c.body;
    if (c.answered) {
      EXPECT_EQ(code, kKeyMalformed) << c.body;
    }
  }
  // Still serving.
  EXPECT_EQ(AskKeyHelperToMatch(socket_, ServerCert().get()).code, kKeyMatches);
}

TEST(PkcsKeyHelperClient, NobodyListening) {
  KeyAnswer a = AskKeyHelperToSign("/nonexistent/kelkey.sock", PkcsSubject{});
  EXPECT_FALSE(a.reached);
}

TEST_F(PkcsFiles, ServableCertificates) {
  EvpPkeyPtr small(EVP_RSA_gen(1024));
  struct Case {
    const char* name;
    X509Ptr cert;
    ImportFailure failure;
    const char* reason;
  } cases[] = {
      {"sha-256 by the authority", ServerCert(), ImportFailure::kNone, ""},
      {"sha-1 by the authority", ServerCert(EVP_sha1()), ImportFailure::kUnusable, "ca md too weak"},
      {"1024-bit key", MakeIssued("small", small.get(), ca_.get(), caKey_.get()), ImportFailure::kUnusable,
       "ee key too small"},
      {"expired", ServerCert(EVP_sha256(), -7200, -3600), ImportFailure::kNotValidNow, "has expired"},
      {"not yet valid", ServerCert(EVP_sha256(), 3600, 7200), ImportFailure::kNotValidNow, "is not yet valid"},
  };
  for (Case& c : cases) {
    ServableVerdict v = CheckServable(c.cert.get(), time(nullptr));
    EXPECT_EQ(v.failure, c.failure) << c.name << ": " << v.reason;
    EXPECT_NE(v.reason.find(c.reason), std::string::npos) << c.name << ": " << v.reason;
  }
}

TEST_F(PkcsFiles, InstallsTheCertificateOfTheKeyKeepingCertPemReadOnly) {
  X509Ptr server = ServerCert();
  std::string cert = ssl_ + "/cert.pem";
  chmod(cert.c_str(), 0440);
  std::string reply = Pkcs7Pem({ca_.get(), server.get()});
  ImportOutcome out = Import(reply);
  ASSERT_TRUE(out.ok()) << (out.log.empty() ? "" : out.log[0]);
  EXPECT_TRUE(out.log.empty());
  EXPECT_EQ(ReadFile(cert), PemOf(server.get()) + "\n");
  EXPECT_EQ(Mode(cert), 0440u);
  // The work files: the posted text and the chosen certificate, for the
  // owner alone.
  EXPECT_EQ(ReadFile(work_ + "/certxyz.tmp"), reply);
  EXPECT_EQ(ReadFile(work_ + "/cert_tmp.tmp"), PemOf(server.get()) + "\n");
  EXPECT_EQ(Mode(work_ + "/certxyz.tmp"), 0600u);
  EXPECT_EQ(Mode(work_ + "/cert_tmp.tmp"), 0600u);
}

TEST_F(PkcsFiles, RefusalsLeaveCertPemAlone) {
  EvpPkeyPtr other(EVP_RSA_gen(2048));
  X509Ptr foreign = MakeIssued("other.example", other.get(), ca_.get(), caKey_.get());
  X509Ptr sha1 = ServerCert(EVP_sha1());
  X509Ptr expired = ServerCert(EVP_sha256(), -7200, -3600);
  Pkcs7Ptr empty(PKCS7_new());
  PKCS7_set_type(empty.get(), NID_pkcs7_signed);
  PKCS7_content_new(empty.get(), NID_pkcs7_data);
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PKCS7(bio.get(), empty.get());
  char* data;
  long n = BIO_get_mem_data(bio.get(), &data);
  std::string noCertificates(data, n);
  KeyMatcher unreachable = [](X509*) {
    errno = ECONNREFUSED;
    return KeyAnswer{};
  };
  KeyMatcher noKey = [](X509*) {
    KeyAnswer a;
    a.reached = true;
    a.code = static_cast<int>(RequestFailure::kReadKey);
    return a;
  };
  struct Case {
    const char* name;
    std::string text;
    KeyMatcher matcher;
    ImportFailure failure;
    const char* line;
  } cases[] = {
      {"plain certificate", PemOf(ServerCert().get()), nullptr, ImportFailure::kLoadPkcs7,
       "Could not load the PKCS #7 object.\n"},
      {"other keys", Pkcs7Pem({ca_.get(), foreign.get()}), nullptr, ImportFailure::kNoMatch,
       "The Certificate does not match the Private Key.\n"},
      {"no certificates", noCertificates, nullptr, ImportFailure::kNoCertificates,
       "PKCS #7 file did not contain certificates.\n"},
      {"sha-1", Pkcs7Pem({sha1.get()}), nullptr, ImportFailure::kUnusable,
       "The Certificate cannot be used by the web server: "},
      {"expired", Pkcs7Pem({expired.get()}), nullptr, ImportFailure::kNotValidNow, "The Certificate has expired ("},
      {"helper gone", Pkcs7Pem({sha1.get()}), unreachable, ImportFailure::kNoHelper,
       "The key helper could not be asked (Connection refused).\n"},
      {"key unreadable", Pkcs7Pem({sha1.get()}), noKey, ImportFailure::kKeyUnreadable,
       "Could not read the Private Key to match the Certificate.\n"},
  };
  for (Case& c : cases) {
    ImportOutcome out = Import(c.text, c.matcher);
    EXPECT_EQ(out.failure, c.failure) << c.name;
    ASSERT_GE(out.log.size(), 2u) << c.name;
    EXPECT_EQ(out.log.front().rfind(c.line, 0), 0u) << c.name << ": " << out.log.front();
    EXPECT_EQ(out.log.back(), "Unable to extract the certificate from the imported PKCS #7 file.\n") << c.name;
    EXPECT_EQ(ReadFile(ssl_ + "/cert.pem"), "old certificate\n") << c.name;
  }
}

TEST_F(PkcsFiles, FilesThatCannotBeWritten) {
  std::string reply = Pkcs7Pem({ServerCert().get()});
  ImportOutcome out = InstallFromPkcs7(reply, ImportPaths{work_, ""}, Matcher(), time(nullptr));
  EXPECT_EQ(out.failure, ImportFailure::kNoSslDir);
  EXPECT_EQ(out.log.front(), "Unable to determine the location of the shared SSL certificate directory\n");

  out = InstallFromPkcs7(reply, ImportPaths{root_ + "/missing", ssl_}, Matcher(), time(nullptr));
  EXPECT_EQ(out.failure, ImportFailure::kSaveInput);
  ASSERT_EQ(out.log.size(), 3u);
  EXPECT_EQ(out.log[0],
            "Could not open file '" + root_ + "/missing/certxyz.tmp' in which the PKCS #7 info is saved.\n");
  EXPECT_EQ(out.log[1], "Error 'No such file or directory'.\n");

  out = InstallFromPkcs7(reply, ImportPaths{work_, root_ + "/missing"}, Matcher(), time(nullptr));
  EXPECT_EQ(out.failure, ImportFailure::kReplace);
  EXPECT_EQ(out.log.front(), "Unable to rename the Certificate file.\n");
}

}  // namespace

namespace {

TEST(PkcsForm, TheReplyTextDecodedTwiceUpToTheNextField) {
  const struct {
    const char* body;
    int code;
    const char* text;
  } cases[] = {
      {"pkcs7_data=-----BEGIN+PKCS7-----%250D%250AMII%252B", 0, "-----BEGIN PKCS7-----\r\nMII+"},
      {"x=1&pkcs7_data=abc&after=2", 0, "abc"},
      {"pkcs7_data=a%2526b", 0, "a"},  // an "&" encoded twice still ends the text
      {"pkcs7_data=a%zz", kPkcsMalformedEscape, nullptr},
      {"pkcs7_data=&x=1", kPkcsNoData, nullptr},
      {"other=1", kPkcsNoData, nullptr},
  };
  for (const auto& c : cases) {
    std::string text, why;
    EXPECT_EQ(Pkcs7FormText(c.body, &text, &why), c.code) << c.body;
    if (c.text)
      EXPECT_EQ(text, c.text) << c.body;
    else
      EXPECT_FALSE(why.empty()) << c.body;
  }
}

TEST(PkcsForm, OrganisationAndUnitFromTheQuery) {
  PkcsSubject subject;
  std::string why;
  EXPECT_EQ(PkcsSubjectFromQuery("orgz=Acme+Ltd&org_unit=IT%20Dept&other=x", &subject, &why), 0);
  EXPECT_EQ(subject.organization, "Acme Ltd");
  EXPECT_EQ(subject.unit, "IT Dept");
  PkcsSubject kept;
  EXPECT_EQ(PkcsSubjectFromQuery("pkcs7_data=x&orgz=Late", &kept, &why), 0);  // the scan ends there
  EXPECT_EQ(kept.organization, PkcsSubject().organization);
  std::string query = "org_unit=" + std::string(kPkcsFieldMax + 1, 'u');
  EXPECT_EQ(PkcsSubjectFromQuery(query.c_str(), &kept, &why), kPkcsFieldTooLong);
  EXPECT_NE(why.find("longer than 64"), std::string::npos);
}

}  // namespace
