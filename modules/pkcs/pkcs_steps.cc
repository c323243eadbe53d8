#include "pkcs_steps.h"

#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "apr_strings.h"
#include "http_config.h"
#include "http_main.h"
#include "http_protocol.h"
#include "kel_config.h"
#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_host.h"
#include "kel_request.h"
#include "kel_svcctl.h"
#include "pkcs_codes.h"
#include "pkcs_import.h"
#include "pkcs_keyhelper.h"
#include "pkcs_request.h"

std::string g_pkcsKeySocket;

namespace {

// A reply with a chain of certificates is a few kilobytes.
constexpr apr_off_t kMaxImportBody = 1024 * 1024;
constexpr size_t kHostNameBuffer = 100;
constexpr mode_t kRequestFileMode = 0640;

void Log(const std::string& line) { LogOutput(2, "%s", line.c_str()); }

int Answer(request_rec* r, int code) {
  return KelMessage(
      r, apr_psprintf(r->pool, "%d&%d", code, code == kPkcsImported || code == kPkcsCertificateInService ? 2 : 4));
}

bool Administrator(request_rec* r) {
  if (KelIsAdministrator(r)) return true;
  Log("Unauthorized PKCS#7 request attempted.\n");
  return false;
}

std::string WorkDir() { return std::string(ap_server_root) + "/data"; }

std::string SslDir() {
  char dir[kKelPathMax] = "";
  GetSslShareDir(dir, sizeof dir);
  return dir;
}

// Asks the key helper for the signed request and writes it; 0 or the
// message code, every failure logged.
int GenerateRequest(const PkcsSubject& subject, const std::string& path) {
  if (SslDir().empty()) {
    Log(RequestFailureText(RequestFailure::kNoSslDir));
    return kPkcsRequestFailed;
  }
  KeyAnswer a = AskKeyHelperToSign(g_pkcsKeySocket, subject);
  if (!a.reached) {
    Log(WithDetail("Unable to generate Certificate Request: the key helper could not be asked (%s).\n",
                   strerror(errno)));
    return kPkcsRequestFailed;
  }
  if (a.code != 0) {
    const char* text = RequestFailureText(static_cast<RequestFailure>(a.code));
    Log(*text ? text : RequestFailureText(RequestFailure::kBuild));
    if (!a.log.empty() && a.log != text) Log(a.log);
    return kPkcsRequestFailed;
  }
  if (a.data.empty()) {
    Log(RequestFailureText(RequestFailure::kWriteRequest));
    return kPkcsRequestFailed;
  }
  if (AtomicWriteFile(path.c_str(), a.data.data(), a.data.size(), kRequestFileMode) != 0) {
    std::string reason = strerror(errno);
    Log(WithDetail(RequestFailureText(RequestFailure::kOpenRequestFile), path));
    Log(path + ": " + reason + "\n");
    return kPkcsRequestFailed;
  }
  return 0;
}

int RequestStep(request_rec* r, std::string* path) {
  if (!Administrator(r)) return kPkcsNotAdministrator;
  PkcsSubject subject;
  std::string why;
  if (int code = PkcsSubjectFromQuery(r->args, &subject, &why)) {
    Log(why);
    return code;
  }
  char host[kHostNameBuffer] = "";
  GetLocalHostName(host, sizeof host);
  subject.commonName = host;
  *path = WorkDir() + "/req_cr.pem";
  return GenerateRequest(subject, *path);
}

int ImportStep(request_rec* r) {
  if (!Administrator(r)) return kPkcsNotAdministrator;
  if (r->method_number != M_POST) {
    Log("Unsupported HTTP request type for PKCS #7 import.\n");
    return kPkcsNotPost;
  }
  const char* type = apr_table_get(r->headers_in, "Content-Type");
  if (!type || strcasecmp(type, "application/x-www-form-urlencoded") != 0) {
    Log("Unsupported encryption type for PKCS #7 import request.\n");
    return kPkcsWrongContentType;
  }
  std::string body;
  KelBody read = KelReadBody(r, kMaxImportBody, &body);
  if (read != KelBody::kRead && read != KelBody::kNone) {
    Log("Unable to read PKCS #7 data in HTTP request.\n");
    return kPkcsBodyUnreadable;
  }
  std::string text, why;
  if (int code = Pkcs7FormText(body, &text, &why)) {
    Log(why);
    return code;
  }
  ImportOutcome out = InstallFromPkcs7(
      text, ImportPaths{WorkDir(), SslDir()}, [](X509* cert) { return AskKeyHelperToMatch(g_pkcsKeySocket, cert); },
      time(nullptr));
  for (const std::string& line : out.log) Log(line);
  return out.ok() ? 0 : kPkcsImportFailed;
}

}  // namespace

int HandleCertificateRequest(request_rec* r) {
  if (r->header_only) return OK;
  std::string path;
  int code = RequestStep(r, &path);
  if (code != 0) return Answer(r, code);
  return KelMessage(r, apr_pstrcat(r->pool, "511&2&", ap_escape_uri(r->pool, path.c_str()), nullptr));
}

int HandlePkcs7Import(request_rec* r) {
  if (r->header_only) return OK;
  int code = ImportStep(r);
  return Answer(r, code == 0 ? kPkcsImported : code);
}

int HandleCertificateRestart(request_rec* r) {
  if (r->header_only) return OK;
  if (!Administrator(r)) return Answer(r, kPkcsNotAdministrator);
  if (r->method_number != M_POST) {
    Log("Unsupported HTTP request type for a certificate restart.\n");
    return Answer(r, kPkcsNotPost);
  }
  ap_discard_request_body(r);
  if (RequestServiceRestart() != 1) {
    Log("Restarting KEL process failed.\n");
    return Answer(r, kPkcsRestartFailed);
  }
  LogOutput(0, "The web server was restarted to put the server certificate into service.\n");
  return Answer(r, kPkcsCertificateInService);
}
