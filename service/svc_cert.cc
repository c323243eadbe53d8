#include "svc_cert.h"

#include <strings.h>
#include <sys/time.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_host.h"
#include "svc_log.h"

const char kSelfSignedUnit[] = "Varnholt Network Management Software (KEL)";

namespace {

constexpr long kTenYears = 315532800;         // 3652 days
constexpr time_t kLastMoment = 2144468992;    // 2037-12-15 05:49:52 UTC
constexpr long kOneYear = 365L * 24 * 3600;
constexpr int kKeyBits = 2048;

// OpenSSL's reasons for a failure, in the service log, not lost.
void LogOpenSslReasons(const char* what) {
  std::string reasons = OpenSslErrors();
  if (!reasons.empty()) ServiceLog(1, "%s: the certificate library says: %s\n", what, reasons.c_str());
}

std::string SslShare(const char* name) { return SslShareDirPath(name); }

X509Ptr ReadCertificate(const std::string& path) {
  FilePtr f(OpenFileUnprotected(path.c_str(), "rb"));
  return X509Ptr(f ? PEM_read_X509(f.get(), nullptr, nullptr, nullptr) : nullptr);
}

EvpPkeyPtr ReadKey(const std::string& path) {
  unsigned old = ClearFileProtection(path.c_str());
  FILE* f = fopen(path.c_str(), "rb");
  RestoreFileProtection(path.c_str(), old);
  FilePtr owned(f);
  return EvpPkeyPtr(f ? PEM_read_PrivateKey(f, nullptr, nullptr, const_cast<char*>("")) : nullptr);
}

std::string NameEntry(X509_NAME* name, int nid) {
  char buf[101] = {0};  // at most 100 bytes are compared
  if (!name || X509_NAME_get_text_by_NID(name, nid, buf, sizeof buf) < 0) return "";
  return buf;
}

bool AddEntry(X509_NAME* name, const char* field, const char* value) {
  return X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value), -1, -1,
                                    0) == 1;
}

// The PEM text of one object, or "" when it cannot be written.
template <typename F>
std::string PemText(F write) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || !write(bio.get())) return "";
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return n > 0 ? std::string(data, n) : "";
}

}  // namespace

long CertificateValidity(time_t now) {
  // Past the last moment allowed, a year from now is the sound end.
  if (now >= kLastMoment) return kOneYear;
  if (now + kTenYears > kLastMoment) return static_cast<long>(kLastMoment - now);
  return kTenYears;
}

long SeedAndSerial(const char* hostName) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm local;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &local);
  // The millisecond time record: seconds, milliseconds, time-zone minutes
  // west of UTC, daylight flag, padded to 12 bytes.
  unsigned char record[12] = {0};
  int32_t s32 = static_cast<int32_t>(secs);
  uint16_t ms = static_cast<uint16_t>(tv.tv_usec / 1000);
  int16_t zone = static_cast<int16_t>(-local.tm_gmtoff / 60);
  int16_t dst = static_cast<int16_t>(local.tm_isdst > 0);
  memcpy(record, &s32, 4);
  memcpy(record + 4, &ms, 2);
  memcpy(record + 6, &zone, 2);
  memcpy(record + 8, &dst, 2);

  unsigned char seed[128];
  size_t shift = ms % 12;
  for (size_t i = 0; i < 12; ++i) seed[i] = record[(i + shift) % 12];
  size_t n = 12;
  size_t hostLen = hostName ? strnlen(hostName, sizeof seed - n) : 0;
  memcpy(seed + n, hostName ? hostName : "", hostLen);
  n += hostLen;
  // Mixed into the pool without claiming entropy: OpenSSL's own seeding stays.
  RAND_add(seed, static_cast<int>(n), 0.0);
  return static_cast<long>(secs);
}

bool MakeSelfSignedCertificate(const char* hostName, EvpPkeyPtr* keyOut, X509Ptr* certOut) {
  const char* host = hostName ? hostName : "";
  long serial = SeedAndSerial(host);
  EvpPkeyPtr key(EVP_RSA_gen(kKeyBits));
  X509Ptr cert(X509_new());
  if (!key || !cert) return false;

  bool ok = X509_set_version(cert.get(), 2) == 1 &&
            ASN1_INTEGER_set_int64(X509_get_serialNumber(cert.get()), serial) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(cert.get()), 0) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(cert.get()), CertificateValidity(serial)) != nullptr &&
            X509_set_pubkey(cert.get(), key.get()) == 1;
  X509_NAME* name = X509_get_subject_name(cert.get());
  std::string cn(host, strnlen(host, 64));
  ok = ok && AddEntry(name, "C", "US") && AddEntry(name, "ST", "Vendria") && AddEntry(name, "L", "Tolsburg") &&
       AddEntry(name, "O", "Varnholt Company") && AddEntry(name, "OU", kSelfSignedUnit) &&
       (cn.empty() || AddEntry(name, "CN", cn.c_str())) && X509_set_issuer_name(cert.get(), name) == 1;

  // Current TLS clients check names only in the subjectAltName.
  std::string san = "DNS:localhost";
  if (!cn.empty() && strcasecmp(cn.c_str(), "localhost") != 0) san = "DNS:" + cn + "," + san;
  X509V3_CTX v3;
  X509V3_set_ctx_nodb(&v3);
  X509V3_set_ctx(&v3, cert.get(), cert.get(), nullptr, nullptr, 0);
  X509ExtensionPtr ext(ok ? X509V3_EXT_conf_nid(nullptr, &v3, NID_subject_alt_name, san.c_str()) : nullptr);
  ok = ok && ext && X509_add_ext(cert.get(), ext.get(), -1) == 1;

  // Browsers refuse SHA-1 signatures.
  ok = ok && X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!ok) {
    LogOpenSslReasons("MakeSelfSignedCertificate");
    return false;
  }
  *keyOut = std::move(key);
  *certOut = std::move(cert);
  return true;
}

namespace {

// Only the root parent reads the key (it serves TLS before it hands the
// connections to the workers); the workers replace the certificate when
// a signed one is imported, so they own that file.
constexpr mode_t kKeyMode = 0600;
constexpr mode_t kCertMode = 0660;

bool ProtectKey(const std::string& path) {
  return ProtectBaseDir() && ProtectPath(path.c_str(), kKeyMode, KelOwner::kRoot);
}

bool ProtectCertificate(const std::string& path) {
  return ProtectBaseDir() && ProtectPath(path.c_str(), kCertMode, KelOwner::kWorkers);
}

}  // namespace

int GenerateServerCertificate(const char* hostName) {
  EvpPkeyPtr key;
  X509Ptr cert;
  if (!MakeSelfSignedCertificate(hostName, &key, &cert)) return 0;
  std::string certPem = PemText([&](BIO* b) { return PEM_write_bio_X509(b, cert.get()) == 1; });
  // "RSA PRIVATE KEY": the traditional layout, not encrypted.
  std::string keyPem = PemText([&](BIO* b) {
    return PEM_write_bio_PrivateKey_traditional(b, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  });
  if (certPem.empty() || keyPem.empty()) return 0;

  std::string certPath = SslShare("cert.pem");
  if (AtomicWriteFile(certPath.c_str(), certPem.data(), certPem.size(), kCertMode, true) != 0) return 0;
  ServiceLog(0, "A new self signed certificate was generated.\n");
  if (ProtectCertificate(certPath))
    ServiceLog(0, "Certificate was successfully secured via the file system protection.\n");
  else
    ServiceLog(2, "Certificate could not be successfully secured via the file system protection.\n");

  std::string keyPath = SslShare("file.pem");
  if (AtomicWriteFile(keyPath.c_str(), keyPem.data(), keyPem.size(), kKeyMode, true) != 0) return 0;
  ServiceLog(0, "A new private key was generated.\n");
  if (ProtectKey(keyPath))
    ServiceLog(0, "Private key was successfully secured via the file system protection.\n");
  else
    ServiceLog(2, "Private key could not be successfully secured via the file system protection.\n");
  return 1;
}

int CheckCommonName(const char* hostName) {
  X509Ptr cert = ReadCertificate(SslShare("cert.pem"));
  if (!cert) return 0;
  if (strcasecmp(NameEntry(X509_get_subject_name(cert.get()), NID_commonName).c_str(), hostName) == 0) return 1;
  ServiceLog(2, "This certificate has a Common Name (CN) that doesn't match the server's name\n");
  std::string unit = NameEntry(X509_get_issuer_name(cert.get()), NID_organizationalUnitName);
  return strcasecmp(unit.c_str(), kSelfSignedUnit) != 0 ? 1 : 0;
}

int CheckServerCertificate() {
  char host[64] = "";
  if (GetLocalHostName(host, sizeof host) != 0) {
    ServiceLog(2, "Unable to get the hostname for the server\n");
    host[0] = '\0';
  }
  // The old export-grade cipher list no longer exists in OpenSSL 3. The pair is
  // loaded into a context at the system's security level, the one mod_ssl
  // uses, so a pair the web server would refuse is replaced here.
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) {
    LogOpenSslReasons("CheckServerCertificate");
    return 0;
  }
  SSL_CTX_set_options(ctx.get(), SSL_OP_ALL);

  std::string certPath = SslShare("cert.pem");
  std::string keyPath = SslShare("file.pem");
  int result = 0;
  for (int pass = 0; pass < 2; ++pass) {
    bool failed = false;
    X509Ptr cert = ReadCertificate(certPath);
    if (!cert || SSL_CTX_use_certificate(ctx.get(), cert.get()) != 1) {
      ServiceLog(0, "Unable to load certificate file during SSL Server Initialization\n");
      failed = true;
    } else {
      // OpenSSL 3 refuses a key that does not match the context's
      // certificate as it is set, so the match is tested first to tell the
      // two failures apart.
      EvpPkeyPtr key = ReadKey(keyPath);
      if (!key) {
        ServiceLog(2, "Unable to load private key during SSL Server Initialization\n");
        failed = true;
      } else if (X509_check_private_key(cert.get(), key.get()) != 1) {
        ServiceLog(2, "The SSL certificate and private key did not match during SSL Server Initialization\n");
        failed = true;
      } else if (SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1 || SSL_CTX_check_private_key(ctx.get()) != 1) {
        ServiceLog(2, "Unable to load private key during SSL Server Initialization\n");
        failed = true;
      }
    }
    if (failed)
      LogOpenSslReasons("CheckServerCertificate");
    else
      ERR_clear_error();  // what lookups on the way left behind

    if (failed) {
      std::string certCopy = SslShare("certmm.pem");
      MakeParentDirs(certCopy.c_str());
      if (CopyFileOver(certPath.c_str(), certCopy.c_str()))
        ServiceLog(2,
                   "The server certificate did not match the private key and has been regenerated.\nThe "
                   "problematic certificate was renamed certmm.pem and is in the \"..\\qx\\sslshare\" "
                   "subdirectory.\n");
      if (CopyFileOver(keyPath.c_str(), SslShare("filemm.pem").c_str()))
        ServiceLog(2,
                   "The private key did not match the server certificate and has been regenerated.\nThe "
                   "problematic private key was renamed filemm.pem and is in the \"..\\qx\\sslshare\"  "
                   "subdirectory.\n");
    } else if (CheckCommonName(host) == 1) {
      // A pair put in place by hand gets the same protection.
      ProtectCertificate(certPath);
      ProtectKey(keyPath);
      return 1;
    }
    result = GenerateServerCertificate(host);
  }
  return result;
}
