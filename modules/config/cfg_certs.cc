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

#include "cfg_locks.h"
#include "kel_dirs.h"
#include "kel_files.h"

namespace {

constexpr size_t kPemRead = 2047;
constexpr size_t kDumpRead = 4095;
constexpr size_t kLongCn = 100;
constexpr const char kRasSuffix[] = ".pem.ras";

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

// The text after the first "CN=" of the one-line subject, up to "&".
std::string CommonName(X509* cert) {
  char line[1024];
  if (!X509_NAME_oneline(X509_get_subject_name(cert), line, sizeof line)) return "";
  const char* cn = strstr(line, "CN=");
  if (!cn) return "";
  std::string text(cn + 3);
  return text.substr(0, text.find('&'));
}

// The store's name for a common name (already lower case).
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

TrustedCert* CopyOf(apr_pool_t* pool, const TrustedCert* c) {
  return static_cast<TrustedCert*>(apr_pmemdup(pool, c, sizeof *c));
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

int AddCertificateFile(apr_pool_t* pool, KelConfigServerConfig* config, char* path, size_t pathSize, bool import,
                       bool addToList, bool groupConfig) {
  FILE* f = OpenFileUnprotected(path, "rb");
  if (!f) {
    LogOutput(2, "Could not open certificate file %s.", path);
    return KEL_CERT_FILE_ERROR;
  }
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  ERR_clear_error();
  if (import && cert &&
      (X509_cmp_current_time(X509_get0_notBefore(cert)) >= 0 || X509_cmp_current_time(X509_get0_notAfter(cert)) <= 0)) {
    X509_free(cert);
    fclose(f);
    Delete(path);
    LogOutput(2, "Add certificate failed...expired certificate %s.", path);
    return KEL_CERT_NOT_VALID_NOW;
  }
  if (!cert) {
    fclose(f);
    Delete(path);
    if (import)
      LogOutput(2, "Importing certificate from server %s failed : NULL pointer in its x509 field.", path);
    else
      LogOutput(2, "Adding certificate %s failed : NULL pointer in x509 field.", path);
    return KEL_CERT_NOT_A_CERTIFICATE;
  }
  char pem[kPemRead + 1] = {0};
  if (fseek(f, 0, SEEK_SET) != 0) {
    X509_free(cert);
    fclose(f);
    LogOutput(2, "fseek certificate file %s failed...", path);
    if (import) Delete(path);  // an import's file never outlives the call
    return KEL_CERT_FILE_ERROR;
  }
  size_t n = fread(pem, 1, kPemRead, f);
  pem[n] = '\0';
  fclose(f);
  std::string cn = CommonName(cert);
  X509_free(cert);

  std::string name;
  if (import) {
    for (char& c : cn) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    name = CertificateFileName(cn);
  }
  if (cn.empty() || (import && name.empty())) {
    if (import) {
      LogOutput(2, "Importing certificate from server %s failed : no valid \"CN\" in the added certificate content.",
                path);
      Delete(path);
    } else {
      LogOutput(2, "Adding certificate %s failed : no valid \"CN\" in certificate.", path);
    }
    return KEL_CERT_NOT_A_CERTIFICATE;
  }

  if (import) {
    {
      KelLockHold hold(g_kelLocks.certLock, false);
      for (int i = 0; i < config->trustedCerts->nelts; ++i)
        if (strcmp(Certs(config)[i].cn, cn.c_str()) == 0) {
          LogOutput(1, "Importing certificate from server %s: overwriting existing certificate", cn.c_str());
          break;
        }
    }
    std::string target = TargetName(CertificateDirectory(), name, groupConfig);
    if (groupConfig && DebugCategory(KEL_DEBUG_SSO))
      LogOutput(0, "*SSO: Group config cert addition - CN: %s, filename: %s", cn.c_str(), target.c_str());
    if (!CopyFileOver(path, target.c_str())) {
      Delete(path);
      return KEL_CERT_FILE_ERROR;
    }
    Delete(path);
    apr_cpystrn(path, target.c_str(), pathSize);
  }
  if (addToList) {
    KelLockHold hold(g_kelLocks.certLock, true);
    DropRecords(config, path);
    auto* rec = static_cast<TrustedCert*>(apr_array_push(config->trustedCerts));
    memset(rec, 0, sizeof *rec);
    apr_cpystrn(rec->path, path, sizeof rec->path);
    apr_cpystrn(rec->cn, cn.c_str(), sizeof rec->cn);
    apr_cpystrn(rec->pem, pem, sizeof rec->pem);
  }
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
    char buf[kKelPathMax];
    apr_cpystrn(buf, path.c_str(), sizeof buf);
    AddCertificateFile(pool, config, buf, sizeof buf, false, true, false);
  });
}

int AddRawCertificate(KelConfigServerConfig* config, const char* text, bool addToList, bool groupConfig) {
  if (!text || !config) return KEL_CERT_FILE_ERROR;
  KelLockHold hold(g_kelLocks.rawCertLock, true);
  std::string temp = CertificateDirectory() + "/tempZQCert.pem";
  FILE* f = OpenFileUnprotected(temp.c_str(), "w+b");
  if (!f) return KEL_CERT_FILE_ERROR;
  size_t len = strlen(text);
  bool written = fwrite(text, 1, len, f) == len;
  if (fclose(f) != 0) written = false;
  if (!written) {
    Delete(temp.c_str());
    return KEL_CERT_FILE_ERROR;
  }
  char path[kKelPathMax];
  apr_cpystrn(path, temp.c_str(), sizeof path);
  int result = AddCertificateFile(nullptr, config, path, sizeof path, true, addToList, groupConfig);
  if (Exists(temp)) Delete(temp.c_str());
  return result;
}

bool CertificateDump(const char* path, std::string* dump) {
  if (!path) return false;
  FILE* f = OpenFileUnprotected(path, "rb");
  X509* cert = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
  if (f) fclose(f);
  ERR_clear_error();
  if (!cert) {
    LogOutput(2, "View certificate %s failed : NULL pointer in x509 field.", path);
    return false;
  }
  std::string text;
  {
    KelLockHold hold(g_kelLocks.certViewLock, true);
    std::string temp = CertificateDirectory() + "/cert.tmp";
    if (FILE* t = OpenFileUnprotected(temp.c_str(), "w+b")) {
      X509_print_fp(t, cert);
      fclose(t);
    }
    if (FILE* t = OpenFileUnprotected(temp.c_str(), "r+b")) {
      char buf[kDumpRead + 1];
      size_t n = fread(buf, 1, kDumpRead, t);
      text.assign(buf, n);
      fclose(t);
    }
    Delete(temp.c_str());
  }
  X509_free(cert);
  // Subject texts are the certificate author's: they must not become markup.
  for (char c : text) {
    if (c == '<')
      *dump += "&lt;";
    else if (c == '>')
      *dump += "&gt;";
    else if (c == '&')
      *dump += "&amp;";
    else
      *dump += c;
  }
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
  *list = static_cast<TrustedCert*>(apr_pmemdup(pool, Certs(config), sizeof(TrustedCert) * (n > 0 ? n : 1)));
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
