#include "pkcs_import.h"

#include <openssl/pem.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kel_files.h"
#include "kel_form.h"
#include "pkcs_request.h"

namespace {

// The work files hold what an administrator posted: nobody else reads them.
constexpr mode_t kWorkFileMode = 0600;
constexpr mode_t kCertMode = 0660;

// The failure's own line (the system's reason follows the file's name when
// the input cannot be saved), OpenSSL's reasons, and the step's last line.
ImportOutcome& Fail(ImportOutcome& out, ImportFailure f, const std::string& detail = "") {
  out.failure = f;
  out.log.push_back(WithDetail(f == ImportFailure::kSaveInput ? "Error '%s'.\n" : ImportFailureText(f), detail));
  std::string reasons = OpenSslErrors();
  if (!reasons.empty()) out.log.push_back("The certificate library says: " + reasons + "\n");
  out.log.push_back("Unable to extract the certificate from the imported PKCS #7 file.\n");
  return out;
}

std::string TimeText(const ASN1_TIME* t) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || ASN1_TIME_print(bio.get(), t) != 1) return "?";
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, n > 0 ? static_cast<size_t>(n) : 0);
}

STACK_OF(X509) * CertificatesOf(PKCS7* p7) {
  if (PKCS7_type_is_signed(p7)) return p7->d.sign ? p7->d.sign->cert : nullptr;
  if (PKCS7_type_is_signedAndEnveloped(p7))
    return p7->d.signed_and_enveloped ? p7->d.signed_and_enveloped->cert : nullptr;
  return nullptr;
}

}  // namespace

ServableVerdict CheckServable(X509* cert, time_t now) {
  if (X509_cmp_time(X509_get0_notBefore(cert), &now) > 0)
    return {ImportFailure::kNotValidNow, "is not yet valid (from " + TimeText(X509_get0_notBefore(cert)) + ")"};
  if (X509_cmp_time(X509_get0_notAfter(cert), &now) < 0)
    return {ImportFailure::kNotValidNow, "has expired (" + TimeText(X509_get0_notAfter(cert)) + ")"};
  ERR_clear_error();
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  if (!ctx) return {ImportFailure::kUnusable, "no TLS context to try it in: " + OpenSslErrors()};
  if (SSL_CTX_use_certificate(ctx.get(), cert) != 1) {
    std::string reasons = OpenSslErrors();
    return {ImportFailure::kUnusable, reasons.empty() ? "refused by the TLS layer" : reasons};
  }
  return {};
}

ImportOutcome InstallFromPkcs7(const std::string& text, const ImportPaths& paths, const KeyMatcher& matches,
                               time_t now) {
  ImportOutcome out;
  ERR_clear_error();
  if (paths.sslDir.empty()) return Fail(out, ImportFailure::kNoSslDir);
  std::string input = paths.workDir + "/certxyz.tmp";
  std::string output = paths.workDir + "/cert_tmp.tmp";
  std::string certFile = paths.sslDir + "/cert.pem";

  if (AtomicWriteFile(input.c_str(), text.data(), text.size(), kWorkFileMode, true) != 0) {
    std::string reason = strerror(errno);
    out.log.push_back(WithDetail(ImportFailureText(ImportFailure::kSaveInput), input));
    return Fail(out, ImportFailure::kSaveInput, reason);
  }
  BioPtr in(BIO_new(BIO_s_file()));
  if (!in) return Fail(out, ImportFailure::kNewBio);
  if (BIO_read_filename(in.get(), input.c_str()) != 1) return Fail(out, ImportFailure::kReadInput);
  Pkcs7Ptr p7(PEM_read_bio_PKCS7(in.get(), nullptr, nullptr, nullptr));
  if (!p7) return Fail(out, ImportFailure::kLoadPkcs7);
  STACK_OF(X509)* certs = CertificatesOf(p7.get());
  if (!certs || sk_X509_num(certs) == 0) return Fail(out, ImportFailure::kNoCertificates);

  X509* chosen = nullptr;
  for (int i = 0; i < sk_X509_num(certs) && !chosen; ++i) {
    X509* cert = sk_X509_value(certs, i);
    KeyAnswer a = matches(cert);
    if (!a.reached) return Fail(out, ImportFailure::kNoHelper, strerror(errno));
    if (a.code == kKeyMatches)
      chosen = cert;
    else if (a.code != kKeyDiffers)
      return Fail(out, ImportFailure::kKeyUnreadable);
  }
  if (!chosen) return Fail(out, ImportFailure::kNoMatch);
  // What would keep the web server from starting with it stays out.
  ServableVerdict verdict = CheckServable(chosen, now);
  if (verdict.failure != ImportFailure::kNone) return Fail(out, verdict.failure, verdict.reason);

  BioPtr pem(BIO_new(BIO_s_mem()));
  if (!pem) return Fail(out, ImportFailure::kNewBio);
  if (PEM_write_bio_X509(pem.get(), chosen) != 1) return Fail(out, ImportFailure::kWriteCertificate);
  char* data = nullptr;
  long n = BIO_get_mem_data(pem.get(), &data);
  std::string bytes(data, n > 0 ? static_cast<size_t>(n) : 0);
  bytes += "\n";
  if (AtomicWriteFile(output.c_str(), bytes.data(), bytes.size(), kWorkFileMode, true) != 0)
    return Fail(out, ImportFailure::kOpenOutput);
  // The old certificate's owner and mode stay (a read-only one stays so).
  if (AtomicWriteFile(certFile.c_str(), bytes.data(), bytes.size(), kCertMode) != 0)
    return Fail(out, ImportFailure::kReplace);
  return out;
}

int Pkcs7FormText(const std::string& body, std::string* text, std::string* why) {
  static constexpr char kField[] = "pkcs7_data=";
  size_t at = body.find(kField);
  if (at == std::string::npos) {
    *why = "No PKCS #7 data provided.\n";
    return kPkcsNoData;
  }
  *text = body.substr(at + sizeof kField - 1);
  std::replace(text->begin(), text->end(), '+', ' ');
  KelUrlDecode(text);
  if (!KelUrlDecode(text)) {
    *why = "The PKCS #7 data holds a malformed URL escape.\n";
    return kPkcsMalformedEscape;
  }
  text->resize(std::min(text->size(), text->find('&')));
  if (text->empty()) {
    *why = "No PKCS #7 data provided.\n";
    return kPkcsNoData;
  }
  return 0;
}
