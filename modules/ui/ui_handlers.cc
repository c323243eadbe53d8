// The UI's requests other than the data tags: the log download, the
// trusted certificates' text, view and removal, the navigation tree page,
// and the three steps that trust a management server's certificate.
#include <strings.h>

#include <cstring>
#include <string>

#include "httpd.h"
#include "apr_base64.h"
#include "apr_file_io.h"
#include "apr_strings.h"
#include "http_protocol.h"
#include "http_request.h"
#include "kel_config.h"
#include "kel_login.h"
#include "kel_request.h"
#include "kel_text.h"
#include "ui_core.h"
#include "ui_module.h"

namespace {

constexpr size_t kSessionCertRead = 4095;

// Query strings are decoded in place; a malformed escape leaves the text
// as the decoder left it.
char* DecodedQuery(request_rec* r) {
  if (r->args) ap_unescape_url(r->args);
  return r->args;
}

// Requests that change the trusted certificates come as form posts (the
// login layer refuses cross-site ones); a link cannot make them.
bool Posted(request_rec* r) {
  if (r->method_number == M_POST) {
    ap_discard_request_body(r);
    return true;
  }
  ap_allow_methods(r, 1, "POST", nullptr);
  r->status = HTTP_METHOD_NOT_ALLOWED;
  LogOutput(1, "mod_kel_ui: a %s of %s from %s was refused: only a POST may change the trusted certificates.",
            r->method, r->uri, r->useragent_ip);
  return false;
}

int Message(request_rec* r, const char* code, const std::string& extra) {
  return KelMessage(r, apr_pstrcat(r->pool, code, UiLocationText(extra).c_str(), nullptr));
}

void Include(request_rec* r, const char* uri) {
  int result = 0, status = 0;
  UiInclude(r, uri, &result, &status);
}

}  // namespace

std::string UiSessionCertFile(request_rec* r) {
  return UiSessionCertPath(apr_table_get(r->headers_in, KEL_HEADER_SESSION_DIR));
}

int UiLogDownload(request_rec* r) {
  if (!r->args) return OK;
  if (!KelIsAdministrator(r)) return KelMessage(r, "200&4");
  int which = UiLogSelector(r->args);
  if (which < 0) return OK;
  // The log comes HTML-escaped.
  ap_set_content_type(r, "text/html");
  GetLogFile(r, which);
  return OK;
}

int UiCertData(request_rec* r) {
  ap_set_content_type(r, "text/html");
  TrustedCert* cert = GetCertificateByFilename(r->pool, r->server, DecodedQuery(r));
  if (cert) ap_rprintf(r, "<PRE>%s</PRE>", HtmlEscape(cert->pem).c_str());
  return OK;
}

int UiCertInfo(request_rec* r) {
  ap_set_content_type(r, "text/html");
  TrustedCert* cert = GetCertificateByFilename(r->pool, r->server, DecodedQuery(r));
  if (cert) {
    ViewCertificate(r, cert->path);
    return OK;
  }
  std::string session = UiSessionCertFile(r);
  if (!session.empty()) ViewCertificate(r, session.c_str());
  return OK;
}

int UiRemoveCert(request_rec* r) {
  if (!Posted(r)) return OK;
  if (!KelIsAdministrator(r)) return Message(r, "200&4", r->args ? r->args : "");
  const char* name = DecodedQuery(r);
  std::string extra = name ? name : "";
  TrustedCert* cert = GetCertificateByFilename(r->pool, r->server, name);
  if (!cert) return Message(r, "301&3&", extra);
  return Message(r, RemoveCertificate(r, cert->path) ? "302&2&" : "303&4&", extra);
}

namespace {

// Inside an open script element: the tree's interface, the two tags its
// own entries need, those entries, then every application's and legacy
// agent's navigation, each in a script element of its own. It ends inside
// an open script element.
void EmitTreeScripts(request_rec* r) {
  Include(r, "/chpif.js");
  EmitUiTag("orvlog", r);
  EmitUiTag("kelconfigauth", r);
  ap_rflush(r);
  Include(r, "/treebody.js");
  EmitUiTag("navigation", r);
  ap_rflush(r);
}

}  // namespace

// The page is its four static pieces with three tags between them.
int UiNavigationTree(request_rec* r) {
  ap_set_content_type(r, "text/html");
  Include(r, "/treehead.htm");
  EmitTreeScripts(r);
  Include(r, "/treetail.htm");
  return OK;
}

// The homepage is one document, its style and scripts inline: the markup,
// the navigation tree's scripts run in the page itself, the tags it shows,
// then the portal's script and the page's own. A frame holding the tree
// page, or each script fetched on its own, would cost the browser further
// round trips before the page is ready.
int UiHomePage(request_rec* r) {
  ap_set_content_type(r, "text/html");
  apr_table_setn(r->headers_out, "Cache-Control", "no-store");
  Include(r, "/homehead.htm");
  Include(r, "/kel.css");
  Include(r, "/homebody.htm");
  EmitTreeScripts(r);
  for (const char* name : {"systemname", "kelversion", "username", "webapplist"}) EmitUiTag(name, r);
  for (const char* script : {"/kel.js", "/home.js"}) {
    ap_rputs("</script>\n<script>\n", r);
    Include(r, script);
  }
  Include(r, "/hometail.htm");
  return OK;
}

int UiManagementCertProbe(request_rec* r) {
  UiScriptAnswer(r);
  std::string server;
  bool available = UiValueBeforeAmpersand(r->the_request, "&ZQ=", &server) &&
                   FetchServerCertificate("servercert", r, server.c_str(), 0) == kFetchOk;
  ap_rprintf(r, "certAvail=\"%s\";\n", available ? "TRUE" : "FALSE");
  return OK;
}

int UiManagementLoginInfo(request_rec* r) {
  if (!r->the_request || !strstr(r->the_request, "?ZQName=")) return OK;
  std::string server;
  if (UiValueBeforeAmpersand(r->the_request, "?ZQName=", &server) &&
      FetchServerCertificate("servercert", r, server.c_str(), 0) == kFetchOk) {
    std::string path = UiSessionCertFile(r);
    apr_file_t* file = nullptr;
    if (path.empty() || apr_file_open(&file, path.c_str(), APR_FOPEN_READ, APR_FPROT_OS_DEFAULT, r->pool) != APR_SUCCESS)
      return OK;
    char* text = static_cast<char*>(apr_pcalloc(r->pool, kSessionCertRead + 1));
    apr_size_t n = kSessionCertRead;
    apr_file_read_full(file, text, n, &n);
    apr_file_close(file);
    char* encoded = static_cast<char*>(apr_palloc(r->pool, apr_base64_encode_len(static_cast<int>(strlen(text)))));
    apr_base64_encode(encoded, text, static_cast<int>(strlen(text)));
    apr_table_set(r->headers_out, "Set-Cookie", apr_pstrcat(r->pool, "ZQCert=", encoded, "; path=/", nullptr));
    ap_set_content_type(r, "text/html");
    ViewCertificate(r, path.c_str());
    return OK;
  }
  return Message(r, "310&3&", UiRedirectTextRaw(r->args));
}

int UiTrustManagementCert(request_rec* r) {
  if (!Posted(r)) return OK;
  const char* level = apr_table_get(r->notes, KEL_NOTE_AUTH_LEVEL);
  if (!r->args) return OK;
  std::string extra = UiRedirectTextOfTokens(DecodedQuery(r));
  if (!level) return KelMessage(r, "200&4");
  if (!KelIsAdministrator(level)) return Message(r, "311&3&", extra);
  std::string pem;
  if (!UiZqCertFromCookies(apr_table_get(r->headers_in, "Cookie"), &pem)) return OK;
  if (AddRawZQCertificate(r->pool, r->server, pem.c_str(), 1, 0) != KEL_CERT_OK) return OK;
  return Message(r, "312&2&", extra);
}
