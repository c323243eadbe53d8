#include "cfg_certs.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <apr_strings.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "cfg_locks.h"
#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_ssl.h"
#include "kel_text.h"

namespace {

constexpr size_t kPemRead = 2047;
constexpr size_t kDumpRead = 4095;
constexpr size_t kLongCn = 100;
constexpr const char kRasSuffix[] = ".pem.ras";
// Imports are written under this name (and a unique ending) before they are checked.
constexpr const char kStagedPrefix[] = "tempZQCert.pem";

TrustedCert* Certs(KelConfigServerConfig* c) { return reinterpret_cast<TrustedCert*>(c->trustedCerts->elts); }

void Delete(const char* path) {
  MakeWritable(path);
  unlink(path);
}

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool EndsWithRas(const char* name) {
  size_t n = strlen(name), s = sizeof kRasSuffix - 1;
  return n > s && strcasecmp(name + n - s, kRasSuffix) == 0;
}

std::string FileNamePart(const char* path) {
  const char* slash = strrchr(path, '/');
  const char* back = strrchr(path, '\\');
  const char* last = slash > back ? slash : back;
  return last ? last + 1 : path;
}

// OpenSSL's own words for a refused file, after the message that names it.
void LogOpenSslReason(const char* path, const std::string& reason) {
  if (!reason.empty()) LogOutput(2, "The certificate library's reason for %s: %s", path, reason.c_str());
}

// The subject's first common name, whole (a name such as "x&y" is one
// name: cutting it would let it take another certificate's file).
std::string CommonName(X509* cert) {
  X509_NAME* subject = X509_get_subject_name(cert);
  int at = subject ? X509_NAME_get_index_by_NID(subject, NID_commonName, -1) : -1;
  if (at < 0) return "";
  unsigned char* utf8 = nullptr;
  int n = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
  if (n < 0) return "";
  std::string text(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
  OPENSSL_free(utf8);
  return text.substr(0, text.find('\0'));
}

// The store's name for a certificate's file-name stem.
std::string TargetName(const std::string& dir, const std::string& name, bool groupConfig) {
  std::string stem = dir + "/";
  if (name.size() >= kLongCn)
    // Only the name is cut: cutting the directory too could leave the store.
    stem += name.substr(0, kLongCn) + std::to_string(static_cast<unsigned>(time(nullptr)));
  else
    stem += name;
  if (!groupConfig) return stem + ".pem";
  std::string candidate = stem + kRasSuffix;
  for (int n = 1; Exists(candidate); ++n) candidate = stem + "." + std::to_string(n) + kRasSuffix;
  return candidate;
}

void DropRecords(KelConfigServerConfig* config, const char* path) {
  TrustedCert* all = Certs(config);
  int kept = 0;
  for (int i = 0; i < config->trustedCerts->nelts; ++i)
    if (strcmp(all[i].path, path) != 0) all[kept++] = all[i];
  config->trustedCerts->nelts = kept;
}

// Each text up to its end: a record is 4.6 KB, mostly empty space.
static_assert(sizeof(TrustedCert) == 4616, "CopyRecord copies each field of TrustedCert");
void CopyRecord(const TrustedCert& from, TrustedCert* to) {
  CopyTextField(to->path, from.path);
  CopyTextField(to->cn, from.cn);
  CopyTextField(to->pem, from.pem);
}

TrustedCert* CopyOf(apr_pool_t* pool, const TrustedCert* c) {
  auto* copy = static_cast<TrustedCert*>(apr_palloc(pool, sizeof(TrustedCert)));
  CopyRecord(*c, copy);
  return copy;
}

// Inside the certificate directory: no other file may be deleted.
bool InStore(const char* path) {
  char real[PATH_MAX], dir[PATH_MAX];
  std::string d = CertificateDirectory();
  if (!realpath(d.c_str(), dir)) return false;
  std::string p(path);
  size_t slash = p.rfind('/');
  if (slash == std::string::npos || !realpath(p.substr(0, slash).c_str(), real)) return false;
  return strcmp(real, dir) == 0 && p.substr(slash + 1) != "" && p.substr(slash + 1) != "." &&
         p.substr(slash + 1) != "..";
}

}  // namespace

std::string CertificateFileName(const std::string& cn) {
  std::string out = cn;
  bool onlyDots = true;
  for (char& c : out) {
    unsigned char u = static_cast<unsigned char>(c);
    if (!(isalnum(u) || c == '.' || c == '-' || c == '_')) c = '_';
    if (c != '.') onlyDots = false;
  }
  return onlyDots ? "" : out;
}

std::string CertificateDirectory() {
  char dir[kKelPathMax];
  GetCertsDir(dir, sizeof dir);
  struct stat st;
  if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) MakeDir(dir);
  return dir;
}

namespace {

// What a certificate file holds, once checked.
struct Examined {
  std::string cn;
  std::string pem;
};

// Steps 1 to 7 of adding a file: the checks, with their messages; a result
// code. A refused import's file is deleted, and so is a file that holds no
// certificate.
int Examine(const char* path, bool import, Examined* out) {
  FilePtr f(OpenFileUnprotected(path, "rb"));
  if (!f) {
    LogOutput(2, "Could not open certificate file %s.", path);
    return KEL_CERT_FILE_ERROR;
  }
  X509Ptr cert(PEM_read_X509(f.get(), nullptr, nullptr, nullptr));
  std::string reason = OpenSslErrors();
  if (import && cert &&
      (X509_cmp_current_time(X509_get0_notBefore(cert.get())) >= 0 ||
       X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0)) {
    f.reset();
    Delete(path);
    LogOutput(2, "Add certificate failed...expired certificate %s.", path);
    return KEL_CERT_NOT_VALID_NOW;
  }
  if (!cert) {
    f.reset();
    Delete(path);
    if (import)
      LogOutput(2, "Importing certificate from server %s failed : NULL pointer in its x509 field.", path);
    else
      LogOutput(2, "Adding certificate %s failed : NULL pointer in x509 field.", path);
    LogOpenSslReason(path, reason);
    return KEL_CERT_NOT_A_CERTIFICATE;
  }
  char pem[kPemRead + 1] = {0};
  if (fseek(f.get(), 0, SEEK_SET) != 0) {
    f.reset();
    LogOutput(2, "fseek certificate file %s failed...", path);
    if (import) Delete(path);  // an import's file never outlives the call
    return KEL_CERT_FILE_ERROR;
  }
  size_t n = fread(pem, 1, kPemRead, f.get());
  pem[n] = '\0';
  f.reset();
  std::string cn = CommonName(cert.get());
  cert.reset();
  if (import) {
    for (char& c : cn) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  if (cn.empty() || (import && CertificateFileName(cn).empty())) {
    if (import) {
      LogOutput(2, "Importing certificate from server %s failed : no valid \"CN\" in the added certificate content.",
                path);
      Delete(path);
    } else {
      LogOutput(2, "Adding certificate %s failed : no valid \"CN\" in certificate.", path);
    }
    return KEL_CERT_NOT_A_CERTIFICATE;
  }
  out->cn = cn;
  out->pem = pem;
  return KEL_CERT_OK;
}

// The caller holds the certificate lock for writing.
void PutRecord(KelConfigServerConfig* config, const char* path, const std::string& cn, const std::string& pem) {
  DropRecords(config, path);
  auto* rec = static_cast<TrustedCert*>(apr_array_push(config->trustedCerts));
  memset(rec, 0, sizeof *rec);
  apr_cpystrn(rec->path, path, sizeof rec->path);
  apr_cpystrn(rec->cn, cn.c_str(), sizeof rec->cn);
  apr_cpystrn(rec->pem, pem.c_str(), sizeof rec->pem);
}

void AddRecord(KelConfigServerConfig* config, const char* path, const Examined& e) {
  KelLockHold hold(g_kelLocks.certLock, true);
  PutRecord(config, path, e.cn, e.pem);
}

// Whether storing under target replaces a certificate other than those
// leaving the store: a file of that name, or a listed one of the same name.
bool ReplacesAnother(KelConfigServerConfig* config, const std::string& target, const std::string& cn,
                     const std::set<std::string>& leaving) {
  if (Exists(target) && !leaving.count(target)) return true;
  KelLockHold hold(g_kelLocks.certLock, false);
  for (int i = 0; i < config->trustedCerts->nelts; ++i) {
    const TrustedCert& c = Certs(config)[i];
    if (strcmp(c.cn, cn.c_str()) == 0 && !leaving.count(c.path)) return true;
  }
  return false;
}

bool IsStagedLeftover(const char* name) { return strncmp(name, kStagedPrefix, sizeof kStagedPrefix - 1) == 0; }

}  // namespace

int StageCertificate(const char* text, StagedCertificate* staged) {
  if (!text || !staged) return KEL_CERT_FILE_ERROR;
  std::string base = CertificateDirectory() + "/" + kStagedPrefix;
  std::string file;
  if (StageFile(base.c_str(), text, strlen(text), 0660, true, &file) != 0) {
    LogOutput(2, "Importing certificate: the file %s.XXXXXX could not be written.", base.c_str());
    return KEL_CERT_FILE_ERROR;
  }
  Examined e;
  int result = Examine(file.c_str(), true, &e);
  if (result != KEL_CERT_OK) {
    if (Exists(file)) Delete(file.c_str());
    return result;
  }
  staged->file = file;
  staged->cn = e.cn;
  staged->pem = e.pem;
  return KEL_CERT_OK;
}

void DiscardCertificate(const StagedCertificate& staged) {
  if (!staged.file.empty() && Exists(staged.file)) Delete(staged.file.c_str());
}

int CommitCertificate(KelConfigServerConfig* config, const StagedCertificate& staged, bool addToList,
                      bool groupConfig, const std::set<std::string>& leaving, std::string* stored) {
  std::string target = TargetName(CertificateDirectory(), CertificateFileName(staged.cn), groupConfig);
  if (ReplacesAnother(config, target, staged.cn, leaving))
    LogOutput(1, "Importing certificate from server %s: overwriting existing certificate", staged.cn.c_str());
  if (groupConfig && DebugCategory(KEL_DEBUG_SSO))
    LogOutput(0, "*SSO: Group config cert addition - CN: %s, filename: %s", staged.cn.c_str(), target.c_str());
  if (CommitStagedFile(staged.file, target.c_str()) != 0) {
    LogOutput(2, "Importing certificate from server %s failed : it could not be stored as %s.", staged.cn.c_str(),
              target.c_str());
    return KEL_CERT_FILE_ERROR;
  }
  if (addToList) AddRecord(config, target.c_str(), Examined{staged.cn, staged.pem});
  if (stored) *stored = target;
  return KEL_CERT_OK;
}

int AddCertificateFile(apr_pool_t*, KelConfigServerConfig* config, char* path, size_t pathSize, bool import,
                       bool addToList, bool groupConfig) {
  Examined e;
  int result = Examine(path, import, &e);
  if (result != KEL_CERT_OK) return result;
  if (import) {
    std::string stored;
    result = CommitCertificate(config, StagedCertificate{path, e.cn, e.pem}, addToList, groupConfig, {}, &stored);
    if (result == KEL_CERT_OK) apr_cpystrn(path, stored.c_str(), pathSize);
    return result;
  }
  if (addToList) AddRecord(config, path, e);
  return KEL_CERT_OK;
}

void LoadTrustedCerts(apr_pool_t* pool, KelConfigServerConfig* config) {
  std::string dir = CertificateDirectory();
  ForEachFile((dir + "/*.*").c_str(), [&](const char* name) {
    std::string path = dir + "/" + name;
    if (EndsWithRas(name)) {
      Delete(path.c_str());
      LogOutput(1, "Leftover cert file from incomplete Replicate Agent Settings task removed: %s\n", path.c_str());
      return;
    }
    if (IsStagedLeftover(name)) {
      Delete(path.c_str());
      LogOutput(1, "Leftover file of an interrupted certificate import removed: %s\n", path.c_str());
      return;
    }
    char buf[kKelPathMax];
    apr_cpystrn(buf, path.c_str(), sizeof buf);
    AddCertificateFile(pool, config, buf, sizeof buf, false, true, false);
  });
}

int AddRawCertificate(KelConfigServerConfig* config, const char* text, bool addToList, bool groupConfig) {
  if (!text || !config) return KEL_CERT_FILE_ERROR;
  // One import at a time: a group name is chosen by what exists.
  KelLockHold hold(g_kelLocks.rawCertLock, true);
  StagedCertificate staged;
  int result = StageCertificate(text, &staged);
  if (result != KEL_CERT_OK) return result;
  result = CommitCertificate(config, staged, addToList, groupConfig, {}, nullptr);
  DiscardCertificate(staged);
  return result;
}

int ReplaceCertificates(KelConfigServerConfig* config, const std::vector<StagedCertificate>& arriving,
                        const std::set<std::string>& leaving, bool dropRecords) {
  KelLockHold hold(g_kelLocks.certLock, true);
  int ok = 1;
  for (const std::string& p : leaving) {
    if (!MakeWritable(p.c_str()) || unlink(p.c_str()) != 0) {
      LogOutput(2, "Remove certificate %s failed.", p.c_str());
      ok = 0;
    }
    if (dropRecords) DropRecords(config, p.c_str());
  }
  for (const StagedCertificate& c : arriving) PutRecord(config, c.file.c_str(), c.cn, c.pem);
  return ok;
}

bool CertificateDump(const char* path, std::string* dump) {
  if (!path) return false;
  X509Ptr cert;
  if (FilePtr f{OpenFileUnprotected(path, "rb")}) cert.reset(PEM_read_X509(f.get(), nullptr, nullptr, nullptr));
  std::string reason = OpenSslErrors();
  if (!cert) {
    LogOutput(2, "View certificate %s failed : NULL pointer in x509 field.", path);
    LogOpenSslReason(path, reason);
    return false;
  }
  std::string text;
  {
    KelLockHold hold(g_kelLocks.certViewLock, true);
    std::string temp = CertificateDirectory() + "/cert.tmp";
    if (FilePtr t{OpenFileUnprotected(temp.c_str(), "w+b")}) X509_print_fp(t.get(), cert.get());
    if (FilePtr t{OpenFileUnprotected(temp.c_str(), "r+b")}) {
      char buf[kDumpRead + 1];
      size_t n = fread(buf, 1, kDumpRead, t.get());
      text.assign(buf, n);
    }
    Delete(temp.c_str());
  }
  cert.reset();
  // Subject texts are the certificate author's: they must not become markup.
  *dump += HtmlEscape(text);
  return true;
}

int RemoveCertificateFile(KelConfigServerConfig* config, const char* path) {
  if (!config || !path) return 0;
  bool deleted = InStore(path) && MakeWritable(path) && unlink(path) == 0;
  if (!deleted) LogOutput(2, "Remove certificate %s failed.", path);
  bool dropped = false;
  {
    KelLockHold hold(g_kelLocks.certLock, true);
    int before = config->trustedCerts->nelts;
    DropRecords(config, path);
    dropped = config->trustedCerts->nelts != before;
  }
  return deleted && dropped ? 1 : 0;
}

int PurgeTrustedCerts(bool deleteFiles, bool clearList) {
  KelConfigServerConfig* config = g_currentConfig;
  if (!config) return 0;
  KelLockHold hold(g_kelLocks.certLock, true);
  int ok = 1;
  if (deleteFiles) {
    for (int i = 0; i < config->trustedCerts->nelts; ++i) {
      const char* p = Certs(config)[i].path;
      if (!*p) continue;
      if (!MakeWritable(p) || unlink(p) != 0) {
        LogOutput(2, "Remove certificate %s failed.", p);
        ok = 0;
      }
    }
  }
  if (clearList) config->trustedCerts->nelts = 0;
  return ok;
}

int ListCertificates(apr_pool_t* pool, KelConfigServerConfig* config, TrustedCert** list) {
  if (!config || !list) return 0;
  KelLockHold hold(g_kelLocks.certLock, false);
  int n = config->trustedCerts->nelts;
  *list = static_cast<TrustedCert*>(n > 0 ? apr_palloc(pool, sizeof(TrustedCert) * n)
                                          : apr_pcalloc(pool, sizeof(TrustedCert)));
  for (int i = 0; i < n; ++i) CopyRecord(Certs(config)[i], &(*list)[i]);
  return n;
}

TrustedCert* CertificateByCn(apr_pool_t* pool, KelConfigServerConfig* config, const char* cn) {
  if (!config || !cn) return nullptr;
  KelLockHold hold(g_kelLocks.certLock, false);
  for (int i = 0; i < config->trustedCerts->nelts; ++i) {
    const TrustedCert& c = Certs(config)[i];
    if (c.cn[0] && apr_strnatcasecmp(c.cn, cn) == 0) return CopyOf(pool, &c);
  }
  return nullptr;
}

TrustedCert* CertificateByFileName(apr_pool_t* pool, KelConfigServerConfig* config, const char* fileName) {
  if (!config || !fileName) return nullptr;
  KelLockHold hold(g_kelLocks.certLock, false);
  for (int i = 0; i < config->trustedCerts->nelts; ++i) {
    const TrustedCert& c = Certs(config)[i];
    if (c.cn[0] && apr_strnatcasecmp(FileNamePart(c.path).c_str(), fileName) == 0) return CopyOf(pool, &c);
  }
  return nullptr;
}
