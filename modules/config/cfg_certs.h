// The trusted certificate store: PEM files in certs/ and their list.
#pragma once

#include <apr_pools.h>

#include <set>
#include <string>
#include <vector>

#include "cfg_settings.h"
#include "kel_config.h"

// The certificate directory (base directory + /certs), made when missing.
std::string CertificateDirectory();

void LoadTrustedCerts(apr_pool_t* pool, KelConfigServerConfig* config);
// Checks and stores one certificate file; a result code. On import the
// file (in the certificate directory) is moved to its name in the store,
// which path receives.
int AddCertificateFile(apr_pool_t* pool, KelConfigServerConfig* config, char* path, size_t pathSize, bool import,
                       bool addToList, bool groupConfig);
int AddRawCertificate(KelConfigServerConfig* config, const char* text, bool addToList, bool groupConfig);

// An import in two steps, so that several can be checked before any of
// them changes the store. StageCertificate checks the text as an import
// does (a result code, its messages logged) and keeps it beside the store
// under a temporary name; nothing is left behind unless the result is
// KEL_CERT_OK. CommitCertificate then moves it to its name in the store
// (logging the overwrite warning when that replaces a certificate that is
// not among leaving) and, with addToList, lists it; KEL_CERT_OK or
// KEL_CERT_FILE_ERROR, and stored (when given) receives the path.
struct StagedCertificate {
  std::string file;  // the staged file, in the certificate directory
  std::string cn;    // the common name, lower case
  std::string pem;   // the first 2047 bytes of the text
};
int StageCertificate(const char* text, StagedCertificate* staged);
int CommitCertificate(KelConfigServerConfig* config, const StagedCertificate& staged, bool addToList,
                      bool groupConfig, const std::set<std::string>& leaving, std::string* stored);
// Removes a staged file that was not committed.
void DiscardCertificate(const StagedCertificate& staged);
// Deletes the files at the given paths of the store and, with dropRecords,
// their records, and lists the arriving certificates (committed without
// their records; file is their path in the store), all in one change of
// the list: a reader sees the list before or after, never a part of each.
// 1 when every file was deleted.
int ReplaceCertificates(KelConfigServerConfig* config, const std::vector<StagedCertificate>& arriving,
                        const std::set<std::string>& leaving, bool dropRecords);
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
