// What the certificate steps report: the message codes the user sees and
// the diagnostic texts behind each inner code. The inner codes appear only
// in the log; the user sees 501 (request) or 521 (import) for all of them.
#pragma once

#include <string>
#include <vector>

// Message codes of the redirect to the message page.
constexpr int kPkcsNotAdministrator = 2;
constexpr int kPkcsRequestFailed = 501;
constexpr int kPkcsRequestMade = 511;
constexpr int kPkcsImported = 512;
constexpr int kPkcsCertificateInService = 513;
constexpr int kPkcsRestartFailed = 514;
constexpr int kPkcsMalformedEscape = 520;
constexpr int kPkcsImportFailed = 521;
constexpr int kPkcsBodyUnreadable = 522;
constexpr int kPkcsWrongContentType = 523;
constexpr int kPkcsNotPost = 524;
constexpr int kPkcsFieldTooLong = 525;
constexpr int kPkcsNoData = 530;

// Inner codes of the request step.
enum class RequestFailure {
  kNone = 0,
  kWriteRequest = 2,  // the PEM text of the request
  kOpenRequestFile = 3,
  kSign = 4,
  kBuild = 5,  // version, subject, public key
  kNewRequest = 6,
  kReadKey = 7,
  kOpenKey = 8,
  kNewKey = 9,
  kNewBio = 10,
  kNoSslDir = 12,
};

// Inner codes of the import step.
enum class ImportFailure {
  kNone = 0,
  kReplace = 2,  // cert.pem could not be replaced
  kNoMatch = 3,
  kWriteCertificate = 4,
  kNoCertificates = 5,
  kOpenOutput = 6,
  kLoadPkcs7 = 7,
  kReadInput = 9,
  kNewBio = 10,
  kSaveInput = 11,
  kNoSslDir = 12,
  // Beyond the original set: reasons the chosen certificate is refused.
  kUnusable = 13,       // the TLS layer would refuse it
  kNotValidNow = 14,    // expired or not yet valid
  kKeyUnreadable = 15,  // the server key could not be read for the match
  kNoHelper = 16,       // the key helper could not be asked
};

// The diagnostic text of an inner code, exactly as logged.
const char* RequestFailureText(RequestFailure f);
const char* ImportFailureText(ImportFailure f);

// An inner code and the diagnostic lines that tell what happened, in the
// order they are logged.
template <typename Failure>
struct PkcsOutcome {
  Failure failure = Failure::kNone;
  std::vector<std::string> log;
  bool ok() const { return failure == Failure::kNone; }
};
using RequestOutcome = PkcsOutcome<RequestFailure>;
using ImportOutcome = PkcsOutcome<ImportFailure>;
