// The import of an authority's PKCS#7 reply: the certificate in it that
// belongs to the server key becomes the server certificate, when the web
// server's TLS layer can use it.
#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "kel_ssl.h"
#include "pkcs_codes.h"
#include "pkcs_keyhelper.h"

// The work files and the server certificate.
struct ImportPaths {
  std::string workDir;  // holds certxyz.tmp (the posted text) and cert_tmp.tmp (the chosen certificate)
  std::string sslDir;   // holds cert.pem; "" when it cannot be determined
};

// Asks whether a certificate belongs to the server key (the key helper's
// answer, or the same from a test).
using KeyMatcher = std::function<KeyAnswer(X509* cert)>;

// Why the web server could not serve cert at now: expired or not yet
// valid, or refused by a TLS context at the system's security level (as
// mod_ssl's is: a key under 2048 bits, a SHA-1 signature by an authority).
struct ServableVerdict {
  ImportFailure failure = ImportFailure::kNone;  // kNotValidNow or kUnusable
  std::string reason;                            // for the log line
};
ServableVerdict CheckServable(X509* cert, time_t now);

// Saves text (the posted PKCS#7 reply, PEM) as the input work file, picks
// the first certificate, in stored order, that the key matches, checks
// that it can be served, writes it to the output work file and replaces
// cert.pem with it atomically (keeping the old file's owner and mode).
// Before that last step nothing of cert.pem changes.
ImportOutcome InstallFromPkcs7(const std::string& text, const ImportPaths& paths, const KeyMatcher& matches,
                               time_t now);

// The PKCS#7 text of a form body's pkcs7_data field: "+" a blank, then
// %XX-decoded twice (the pages encode it once more than forms do), up to
// the first "&". 0, or the message code with the log line in why.
int Pkcs7FormText(const std::string& body, std::string* text, std::string* why);
