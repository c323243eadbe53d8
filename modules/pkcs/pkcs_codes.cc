#include "pkcs_codes.h"

namespace {

constexpr const char* kNoSslDirText = "Unable to determine the location of the shared SSL certificate directory\n";
constexpr const char* kNoMemoryText = "Unable to generate Certificate Request: Insufficent memory.\n";

struct RequestText {
  RequestFailure failure;
  const char* text;
};
constexpr RequestText kRequestTexts[] = {
    {RequestFailure::kNoSslDir, kNoSslDirText},
    {RequestFailure::kNewBio, kNoMemoryText},
    {RequestFailure::kNewKey, kNoMemoryText},
    {RequestFailure::kOpenKey, "Unable to generate Certificate Request: Could not open key file.\n"},
    {RequestFailure::kReadKey, "Unable to generate Certificate Request: Could not read key file.\n"},
    {RequestFailure::kNewRequest, kNoMemoryText},
    {RequestFailure::kBuild, "Unable to generate Certificate Request.\n"},
    {RequestFailure::kSign, "Unable to sign the Certificate Request.\n"},
    {RequestFailure::kOpenRequestFile, "Unable to write X509 request BIO_write_filename()= %s call.\n"},
    {RequestFailure::kWriteRequest, "Unable to write X509 request PEM_write_bio_X509_REQ() call.\n"},
};

struct ImportText {
  ImportFailure failure;
  const char* text;
};
constexpr ImportText kImportTexts[] = {
    {ImportFailure::kNoSslDir, kNoSslDirText},
    {ImportFailure::kSaveInput, "Could not open file '%s' in which the PKCS #7 info is saved.\n"},
    {ImportFailure::kNewBio, "Could not create BIOs for the input and output files.\n"},
    {ImportFailure::kReadInput, "Could not read input file.\n"},
    {ImportFailure::kLoadPkcs7, "Could not load the PKCS #7 object.\n"},
    {ImportFailure::kOpenOutput, "Could not write the BIO to the output file.\n"},
    {ImportFailure::kNoCertificates, "PKCS #7 file did not contain certificates.\n"},
    {ImportFailure::kNoMatch, "The Certificate does not match the Private Key.\n"},
    {ImportFailure::kWriteCertificate, "Unable to extract the Certificate.\n"},
    {ImportFailure::kReplace, "Unable to rename the Certificate file.\n"},
    {ImportFailure::kUnusable, "The Certificate cannot be used by the web server: %s.\n"},
    {ImportFailure::kNotValidNow, "The Certificate %s.\n"},
    {ImportFailure::kKeyUnreadable, "Could not read the Private Key to match the Certificate.\n"},
    {ImportFailure::kNoHelper, "The key helper could not be asked (%s).\n"},
};

}  // namespace

const char* RequestFailureText(RequestFailure f) {
  for (const RequestText& t : kRequestTexts)
    if (t.failure == f) return t.text;
  return "";
}

const char* ImportFailureText(ImportFailure f) {
  for (const ImportText& t : kImportTexts)
    if (t.failure == f) return t.text;
  return "";
}
