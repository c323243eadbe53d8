// The certificate signing request for the server's key: its subject, and
// the request itself, made and signed where the key may be read (the key
// helper; tests call it directly).
#pragma once

#include <array>
#include <string>

#include "kel_ssl.h"
#include "pkcs_codes.h"

// The longest organisation or unit a form may give.
constexpr size_t kPkcsFieldMax = 64;

// The subject's entries, in the order they are added to the request.
constexpr size_t kSubjectEntries = 6;
struct PkcsSubject {
  std::string organization = "Varnholt Company";
  std::string unit = "Varnholt Network Management Software (KEL)";
  std::string commonName;  // the host name
};
// The organisation ("orgz") and unit ("org_unit") of a certificate
// request's query string, %XX-decoded and "+" a blank; a field named
// pkcs7_data ends the scan. 0, or the message code with the log line in
// why (a value over kPkcsFieldMax).
int PkcsSubjectFromQuery(const char* query, PkcsSubject* subject, std::string* why);
// Each entry's field name and value: C, ST, L, O, OU, CN.
std::array<std::pair<const char*, std::string>, kSubjectEntries> SubjectEntries(const PkcsSubject& subject);

// "text" with its one "%s" replaced by detail.
std::string WithDetail(const char* text, const std::string& detail);

// The server key from its PEM file (without a pass phrase): kOpenKey or
// kReadKey when it cannot be had.
RequestFailure ReadServerKey(const std::string& keyPath, EvpPkeyPtr* key);

// A version 1 request with the subject's entries and key's public key,
// signed with SHA-256, as PEM text.
RequestOutcome MakeSignedRequest(EVP_PKEY* key, const PkcsSubject& subject, std::string* pem);
