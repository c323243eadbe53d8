// What the portal's own pages read beyond the data tags: the settings that
// have no script form, the server certificate's facts, and the signing
// request to download. Answers are JavaScript assignments like the tags'
// (the pages read them without running them), or the file itself.
#include <fstream>
#include <sstream>
#include <string>

#include "httpd.h"
#include "http_config.h"
#include "http_core.h"
#include "http_main.h"
#include "http_protocol.h"
#include "kel_config.h"
#include "kel_dirs.h"
#include "kel_request.h"
#include "kel_text.h"
#include "ui_core.h"
#include "ui_module.h"

namespace {

// The settings the settings page cannot read through GetKELData; all three
// are stored as text.
constexpr const char* kScriptlessSettings[] = {"lock-ports", "session-timeout", "session-maximum"};
constexpr std::streamsize kMaxPemFile = 64 * 1024;

void Assign(request_rec* r, const char* name, const std::string& value) {
  ap_rprintf(r, "%s = \"%s\";\n", name, JsStringEscape(value).c_str());
}

// A whole small text file; false when it cannot be read.
bool ReadSmallFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  char buf[4096];
  std::streamsize total = 0;
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    total += in.gcount();
    if (total > kMaxPemFile) return false;
    out.write(buf, in.gcount());
  }
  *text = out.str();
  return true;
}

std::string SslSharePath(const char* name) {
  char dir[kKelPathMax] = "";
  GetSslShareDir(dir, sizeof dir);
  return std::string(dir) + "/" + name;
}

}  // namespace

int UiScriptlessSettings(request_rec* r) {
  UiScriptAnswer(r);
  if (!KelIsAdministrator(r)) return KelMessage(r, "200&4");
  for (const char* name : kScriptlessSettings) {
    const char* value = GetKELInternalCfgValue(r->pool, r->server, name);
    std::string variable = name;
    for (char& c : variable)
      if (c == '-') c = '_';
    Assign(r, variable.c_str(), value ? value : "");
  }
  return OK;
}

int UiServerCertFacts(request_rec* r) {
  UiScriptAnswer(r);
  std::string pem;
  UiCertFacts facts;
  bool known = ReadSmallFile(SslSharePath("cert.pem"), &pem) && UiCertificateFacts(pem, &facts);
  ap_rprintf(r, "servercert_known = %s;\n", known ? "true" : "false");
  if (!known) return OK;
  Assign(r, "servercert_subject", facts.subject);
  Assign(r, "servercert_issuer", facts.issuer);
  Assign(r, "servercert_notbefore", facts.notBefore);
  Assign(r, "servercert_notafter", facts.notAfter);
  Assign(r, "servercert_sha256", facts.sha256);
  return OK;
}

int UiCertRequestFile(request_rec* r) {
  if (!KelIsAdministrator(r)) return KelMessage(r, "200&4");
  std::string pem;
  if (!ReadSmallFile(std::string(ap_server_root) + "/data/req_cr.pem", &pem)) {
    r->status = HTTP_NOT_FOUND;
    ap_set_content_type(r, "text/plain; charset=UTF-8");
    ap_rputs("No signing request has been created yet.\n", r);
    return OK;
  }
  ap_set_content_type(r, "application/x-pem-file");
  apr_table_setn(r->headers_out, "Content-Disposition", "attachment; filename=\"req_cr.pem\"");
  ap_rwrite(pem.data(), static_cast<int>(pem.size()), r);
  return OK;
}
