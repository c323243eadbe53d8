// Certificates the tests make with OpenSSL.
#pragma once

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <initializer_list>
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

// An issued certificate: subject cn with key's public key, signed by the
// issuer's key with md (self-signed when issuer is null), valid from now +
// from to now + to (seconds); ca marks an authority.
inline X509Ptr MakeIssued(const std::string& cn, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey,
                          const EVP_MD* md = EVP_sha256(), bool ca = false, long from = -60, long to = 86400) {
  X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), ++serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), from);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), to);
  X509_set_pubkey(cert.get(), key);
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
  if (ca) {
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    X509ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, &v3, NID_basic_constraints, "critical,CA:TRUE"));
    X509_add_ext(cert.get(), ext.get(), -1);
  }
  X509_sign(cert.get(), issuerKey ? issuerKey : key, md);
  return cert;
}

inline std::string PemOf(X509* cert) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_X509(bio.get(), cert);
  char* data;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, n);
}

// A certificates-only PKCS#7 reply (signed data without signers), as an
// authority sends it, in PEM.
inline std::string Pkcs7Pem(std::initializer_list<X509*> certs) {
  Pkcs7Ptr p7(PKCS7_new());
  PKCS7_set_type(p7.get(), NID_pkcs7_signed);
  PKCS7_content_new(p7.get(), NID_pkcs7_data);
  for (X509* c : certs) PKCS7_add_certificate(p7.get(), c);
  BioPtr bio(BIO_new(BIO_s_mem()));
  PEM_write_bio_PKCS7(bio.get(), p7.get());
  char* data;
  long n = BIO_get_mem_data(bio.get(), &data);
  return std::string(data, n);
}

}  // namespace kel::test
