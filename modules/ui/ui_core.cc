#include "ui_core.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "apr_base64.h"
#include "apr_strings.h"
#include "kel_login.h"
#include "kel_ssl.h"

std::vector<std::string> UiQueryTokens(const char* query) {
  std::vector<std::string> tokens;
  if (!query) return tokens;
  const char* p = query;
  while (*p) {
    const char* end = strchr(p, '&');
    size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
    if (n) tokens.emplace_back(p, n);
    p += n;
    if (*p) ++p;
  }
  return tokens;
}

bool UiIsScriptToken(const std::string& token) {
  return strcasecmp(token.c_str(), "Javascript") == 0 || strcasecmp(token.c_str(), "JS") == 0;
}

std::string UiTagOfToken(const std::string& token) { return token.substr(0, token.find('=')); }

bool UiServerNameInQuery(const char* query, const char* tag, std::string* name) {
  name->clear();
  const char* at = query ? strstr(query, tag) : nullptr;
  if (!at) return false;
  at += strcspn(at, "&=");
  if (*at != '=') return false;
  ++at;
  name->assign(at, strcspn(at, "&"));
  return true;
}

std::vector<std::string> UiCertLines(const std::string& text) {
  std::vector<std::string> pieces;
  size_t at = 0;
  for (;;) {
    size_t lf = text.find('\n', at);
    size_t cr = text.find('\r', at);
    if (cr != std::string::npos && lf != std::string::npos && cr < lf) {
      pieces.push_back(text.substr(at, cr - at));
      // Two characters on: the LF that follows the CR, or whatever stands there.
      at = cr + 2;
      if (at > text.size()) at = text.size();
    } else if (lf != std::string::npos) {
      pieces.push_back(text.substr(at, lf - at));
      at = lf + 1;
    } else {
      pieces.push_back(text.substr(at));
      return pieces;
    }
  }
}

std::string UiFileNamePart(const char* path) {
  if (!path) return "";
  const char* slash = strrchr(path, '/');
  const char* back = strrchr(path, '\\');
  const char* last = slash > back ? slash : back;
  return last ? last + 1 : path;
}

std::string UiLoginPiece(const char* piece) {
  std::string out(piece, strcspn(piece, "\n\f\r"));
  for (char& c : out)
    if (c == '"') c = ' ';
  return out;
}

bool UiIsLocalAccount(const char* user) {
  return user && (strcmp(user, KEL_LOCAL_ADMINISTRATOR) == 0 || strcmp(user, KEL_LOCAL_ANONYMOUS) == 0);
}

bool UiValueBeforeAmpersand(const char* line, const char* key, std::string* value) {
  value->clear();
  const char* at = line ? strstr(line, key) : nullptr;
  if (!at) return false;
  at += strlen(key);
  const char* end = strchr(at, '&');
  if (!end) return false;
  value->assign(at, end);
  return true;
}

std::string UiRedirectTextRaw(const char* query) {
  static const char kKey[] = "RedirectSsoUrl=";
  const char* at = query ? strstr(query, kKey) : nullptr;
  return at ? at + sizeof kKey - 1 : "";
}

std::string UiRedirectTextOfTokens(const char* decodedQuery) {
  static const char kKey[] = "RedirectSsoUrl=";
  std::string extra;
  for (const std::string& token : UiQueryTokens(decodedQuery))
    if (token.compare(0, sizeof kKey - 1, kKey) == 0) extra = token.substr(sizeof kKey - 1);
  return extra;
}

int UiLogSelector(const char* query) {
  std::vector<std::string> tokens = UiQueryTokens(query);
  if (tokens.size() < 2 || strcasecmp(tokens[0].c_str(), "text") != 0) return -1;
  if (strcasecmp(tokens[1].c_str(), "kellog") == 0) return 0;
  if (strcasecmp(tokens[1].c_str(), "orvlog") == 0) return 1;
  return -1;
}

bool UiZqCertFromCookies(const char* header, std::string* pem) {
  pem->clear();
  const char* at = header ? strstr(header, "ZQCert=") : nullptr;
  if (!at) return false;
  at += strlen("ZQCert=");
  std::string buffer(static_cast<size_t>(apr_base64_decode_len(at)) + 1, '\0');
  int n = apr_base64_decode(&buffer[0], at);
  pem->assign(buffer.data(), n > 0 ? strnlen(buffer.data(), static_cast<size_t>(n)) : 0);
  return true;
}

int UiHttpStatus(const char* answer) {
  int major = 0, minor = 0, status = 0;
  if (sscanf(answer, "HTTP/%d.%d %d ", &major, &minor, &status) < 3) status = 0;
  return status;
}

std::string UiLocationText(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (c <= 0x20 || c >= 0x7f) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string UiSessionCertPath(const char* sessionDir) {
  if (!sessionDir || sessionDir[0] != '/') return "";
  std::string dir = sessionDir;
  std::string probe = "/" + dir + "/";
  if (probe.find("/../") != std::string::npos || probe.find("/./") != std::string::npos) return "";
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/keluicrt.pem";
}

namespace {

std::string NameText(X509_NAME* name) {
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out || X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0) return "";
  char* data = nullptr;
  long n = BIO_get_mem_data(out.get(), &data);
  return std::string(data, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string TimeText(const ASN1_TIME* when) {
  BioPtr out(BIO_new(BIO_s_mem()));
  if (!out || !ASN1_TIME_print(out.get(), when)) return "";
  char* data = nullptr;
  long n = BIO_get_mem_data(out.get(), &data);
  return std::string(data, n > 0 ? static_cast<size_t>(n) : 0);
}

}  // namespace

bool UiCertificateFacts(const std::string& pem, UiCertFacts* facts) {
  BioPtr in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509Ptr cert(in ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  if (!cert) return false;
  facts->subject = NameText(X509_get_subject_name(cert.get()));
  facts->issuer = NameText(X509_get_issuer_name(cert.get()));
  facts->notBefore = TimeText(X509_get0_notBefore(cert.get()));
  facts->notAfter = TimeText(X509_get0_notAfter(cert.get()));
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  facts->sha256.clear();
  if (X509_digest(cert.get(), EVP_sha256(), digest, &length)) {
    static const char kHex[] = "0123456789ABCDEF";
    for (unsigned int i = 0; i < length; ++i) {
      if (i) facts->sha256 += ':';
      facts->sha256 += kHex[digest[i] >> 4];
      facts->sha256 += kHex[digest[i] & 15];
    }
  }
  return true;
}
