// Certificates the tests make with OpenSSL.
#pragma once

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <string>

#include "kel_ssl.h"

namespace kel::test {

// A self-signed certificate for cn, valid from now + from to now + to
// (seconds), as PEM text.
inline std::string MakePem(const std::string& cn, long from = -60, long to = 86400) {
  EvpPkeyPtr owner(EVP_RSA_gen(2048));
  X509Ptr certOwner(X509_new());
  EVP_PKEY* key = owner.get();
  X509* cert = certOwner.get();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), from);
  X509_gmtime_adj(X509_getm_notAfter(cert), to);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Management"), -1, -1, 0);
  if (!cn.empty())
    // As given, even past the 64 characters a common name should have.
    X509_NAME_add_entry_by_txt(name, "CN", V_ASN1_UTF8STRING, reinterpret_cast<const unsigned char*>(cn.c_str()), -1,
                               -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  char* data;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, n);
}

}  // namespace kel::test
