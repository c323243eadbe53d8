#include "pkcs_request.h"

#include <openssl/pem.h>

#include <algorithm>

#include "kel_files.h"
#include "kel_form.h"
#include "pkcs_codes.h"

std::array<std::pair<const char*, std::string>, kSubjectEntries> SubjectEntries(const PkcsSubject& subject) {
  return {{{"C", "US"},
           {"ST", "Vendria"},
           {"L", "Tolsburg"},
           {"O", subject.organization},
           {"OU", subject.unit},
           {"CN", subject.commonName}}};
}

std::string WithDetail(const char* text, const std::string& detail) {
  std::string out = text;
  size_t at = out.find("%s");
  if (at != std::string::npos) out.replace(at, 2, detail);
  return out;
}

RequestFailure ReadServerKey(const std::string& keyPath, EvpPkeyPtr* key) {
  FilePtr f(OpenFileUnprotected(keyPath.c_str(), "rb"));
  if (!f) return RequestFailure::kOpenKey;
  // An empty pass phrase: an encrypted key fails here instead of asking.
  key->reset(PEM_read_PrivateKey(f.get(), nullptr, nullptr, const_cast<char*>("")));
  return *key ? RequestFailure::kNone : RequestFailure::kReadKey;
}

namespace {

RequestOutcome Failed(RequestFailure f) {
  RequestOutcome out;
  out.failure = f;
  out.log.push_back(RequestFailureText(f));
  std::string reasons = OpenSslErrors();
  if (!reasons.empty()) out.log.push_back("The certificate library says: " + reasons + "\n");
  return out;
}

}  // namespace

RequestOutcome MakeSignedRequest(EVP_PKEY* key, const PkcsSubject& subject, std::string* pem) {
  ERR_clear_error();
  X509ReqPtr req(X509_REQ_new());
  if (!req) return Failed(RequestFailure::kNewRequest);
  // Version 1 is the value 0; no extensions.
  bool ok = X509_REQ_set_version(req.get(), 0) == 1;
  X509_NAME* name = X509_REQ_get_subject_name(req.get());
  for (const auto& [field, value] : SubjectEntries(subject))
    ok = ok && X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1, 0) == 1;
  ok = ok && X509_REQ_set_pubkey(req.get(), key) == 1;
  if (!ok) return Failed(RequestFailure::kBuild);
  // No authority accepts an MD5 signature any more.
  if (X509_REQ_sign(req.get(), key, EVP_sha256()) <= 0) return Failed(RequestFailure::kSign);
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) return Failed(RequestFailure::kNewBio);
  if (PEM_write_bio_X509_REQ(bio.get(), req.get()) != 1) return Failed(RequestFailure::kWriteRequest);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio.get(), &data);
  pem->assign(data, n > 0 ? static_cast<size_t>(n) : 0);
  return {};
}

int PkcsSubjectFromQuery(const char* query, PkcsSubject* subject, std::string* why) {
  if (!query) return 0;
  std::string args = query;
  size_t start = 0;
  while (start <= args.size()) {
    size_t end = args.find('&', start);
    std::string pair = args.substr(start, end == std::string::npos ? std::string::npos : end - start);
    size_t eq = pair.find('=');
    std::string name = pair.substr(0, eq), value = eq == std::string::npos ? "" : pair.substr(eq + 1);
    KelUrlDecode(&name);
    if (name.rfind("pkcs7_data", 0) == 0) break;
    KelUrlDecode(&value);
    std::replace(value.begin(), value.end(), '+', ' ');
    std::string* target = name == "orgz" ? &subject->organization : name == "org_unit" ? &subject->unit : nullptr;
    if (target && !value.empty()) {
      if (value.size() > kPkcsFieldMax) {
        *why = "Certificate request: the organization or unit is longer than 64 characters.\n";
        return kPkcsFieldTooLong;
      }
      *target = value;
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return 0;
}
