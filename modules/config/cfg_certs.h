// The trusted certificate store: PEM files in certs/ and their list.
#pragma once

#include <apr_pools.h>

#include <string>

#include "cfg_settings.h"
#include "kel_config.h"

// The certificate directory (base directory + /certs), made when missing.
std::string CertificateDirectory();

void LoadTrustedCerts(apr_pool_t* pool, KelConfigServerConfig* config);
// Checks and stores one certificate file; a result code. On import the
// file is moved to its name in the store, which path receives.
int AddCertificateFile(apr_pool_t* pool, KelConfigServerConfig* config, char* path, size_t pathSize, bool import,
                       bool addToList, bool groupConfig);
int AddRawCertificate(KelConfigServerConfig* config, const char* text, bool addToList, bool groupConfig);
// The certificate's text dump, "<", ">" and "&" escaped; false for none.
bool CertificateDump(const char* path, std::string* dump);
int RemoveCertificateFile(KelConfigServerConfig* config, const char* path);
int PurgeTrustedCerts(bool deleteFiles, bool clearList);

int ListCertificates(apr_pool_t* pool, KelConfigServerConfig* config, TrustedCert** list);
TrustedCert* CertificateByCn(apr_pool_t* pool, KelConfigServerConfig* config, const char* cn);
TrustedCert* CertificateByFileName(apr_pool_t* pool, KelConfigServerConfig* config, const char* fileName);

// A common name as a file name: every character but letters, digits, ".",
// "-" and "_" becomes "_"; "" for a name of dots only (refused).
std::string CertificateFileName(const std::string& cn);
