// The UI module's text rules, without the web server: query tokens, the
// server name of the certificate tag, the pieces of a certificate text, the
// values taken from a raw request line and from the cookie header.
#pragma once

#include <string>
#include <vector>

// The query split at "&", empty pieces left out (as APR's tokenizer does).
std::vector<std::string> UiQueryTokens(const char* query);

// The first token of a tag request: "Javascript" or "JS", any letter case.
bool UiIsScriptToken(const std::string& token);

// A tag token without what follows its first "=".
std::string UiTagOfToken(const std::string& token);

// The server name the certificate tag asks for: after the first occurrence
// of tag in the raw query, up to the first "&" or "="; after an "=", the
// text up to the next "&" or the end. false when no "=" follows the tag.
bool UiServerNameInQuery(const char* query, const char* tag, std::string* name);

// The pieces of a certificate text, one per line: a CR before the first LF
// ends a piece and the text resumes two characters after it; an LF ends a
// piece; the rest is the last piece (empty after a final line break).
std::vector<std::string> UiCertLines(const std::string& text);

// The part of a stored path after its last "/" or "\".
std::string UiFileNamePart(const char* path);

// One piece of the login message: double quotes become blanks and the piece
// ends at its first LF, FF or CR.
std::string UiLoginPiece(const char* piece);

// The user name is one of the two local-access pseudo-accounts.
bool UiIsLocalAccount(const char* user);

// The value after key in a raw request line, up to the next "&", which must
// be there. false when key or the closing "&" is missing.
bool UiValueBeforeAmpersand(const char* line, const char* key, std::string* value);

// The RedirectSsoUrl extra text of a raw query: everything after
// "RedirectSsoUrl=" to its end, or "".
std::string UiRedirectTextRaw(const char* query);
// Of a decoded query split at "&": the rest of the last token that begins
// with "RedirectSsoUrl=", or "".
std::string UiRedirectTextOfTokens(const char* decodedQuery);

// The log a download names: "text&kellog" 0, "text&orvlog" 1, anything
// else -1 (empty answer).
int UiLogSelector(const char* query);

// The Base64 value of the cookie "ZQCert" decoded (decoding stops at the
// first character outside the alphabet, such as the ";" of the next
// cookie); false when the header or the cookie is missing.
bool UiZqCertFromCookies(const char* header, std::string* pem);

// The status of an answer's first line "HTTP/<major>.<minor> <status> ", 0
// when it has no such line.
int UiHttpStatus(const char* answer);

// Text as it may follow "/message.php?" in a Location header: control
// characters, blanks and bytes above 0x7e are %-encoded, so a value a
// client chose cannot add a header or break the line.
std::string UiLocationText(const std::string& text);

// The session certificate file of a session directory the login layer
// named: an absolute path without "." or ".." steps; "" otherwise.
std::string UiSessionCertPath(const char* sessionDir);

// What the certificates page shows of a certificate (PEM): the subject and
// issuer as one-line texts, the validity in GMT and the SHA-256
// fingerprint as colon-separated hex. false when the text holds none.
struct UiCertFacts {
  std::string subject, issuer, notBefore, notAfter, sha256;
};
bool UiCertificateFacts(const std::string& pem, UiCertFacts* facts);
