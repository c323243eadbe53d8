// Owners for OpenSSL objects, and the library's reasons for a failure as
// text for a log line. Every OpenSSL object the portal holds has one of these
// owners, so no path frees by hand.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <string>

template <auto Free>
struct OpenSslFree {
  template <typename T>
  void operator()(T* p) const {
    Free(p);
  }
};

using BioPtr = std::unique_ptr<BIO, OpenSslFree<BIO_free_all>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OpenSslFree<EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, OpenSslFree<EVP_PKEY_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, OpenSslFree<PKCS7_free>>;
using SslCtxPtr = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;
using X509Ptr = std::unique_ptr<X509, OpenSslFree<X509_free>>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, OpenSslFree<X509_EXTENSION_free>>;
using X509ReqPtr = std::unique_ptr<X509_REQ, OpenSslFree<X509_REQ_free>>;

// Empties the thread's error queue into one text ("reason; reason"), so a
// log line can say why OpenSSL refused; "" when the queue was empty.
inline std::string OpenSslErrors() {
  std::string out;
  char text[256];
  while (unsigned long e = ERR_get_error()) {
    ERR_error_string_n(e, text, sizeof text);
    if (!out.empty()) out += "; ";
    out += text;
  }
  return out;
}
