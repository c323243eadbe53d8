// The data tags: each writes JavaScript assignments to a variable named
// after the tag. Every value inside a string literal goes through
// JsStringEscape, so no stored text or query can end the string or the
// script element.
#include <strings.h>

#include <cstdint>
#include <cstring>

#include "httpd.h"
#include "apr_file_info.h"
#include "apr_file_io.h"
#include "apr_network_io.h"
#include "apr_strings.h"
#include "apr_time.h"
#include "http_config.h"
#include "http_protocol.h"
#include "kel_bc.h"
#include "kel_config.h"
#include "kel_login.h"
#include "kel_text.h"
#include "ui_core.h"
#include "ui_module.h"

namespace {

constexpr char kBanner[] = "QX Kel Portal v2.1.10.186";
constexpr char kCopyright[] = "Copyright (c) QX. All rights reserved.";
constexpr size_t kHostNameSize = 257;
constexpr size_t kLoginLine = 1024;

std::string Js(const char* text) { return JsStringEscape(text ? text : ""); }

void Quoted(request_rec* r, const char* tag, const char* value) {
  ap_rprintf(r, "%s = \"%s\";\n", tag, Js(value).c_str());
}

const char* Bool(bool value) { return value ? "true" : "false"; }

int SystemName(const char* tag, request_rec* r) {
  char host[kHostNameSize] = "";
  if (apr_gethostname(host, sizeof host - 1, r->pool) != APR_SUCCESS) {
    Quoted(r, tag, "unknown");
    return 1;
  }
  Quoted(r, tag, host);
  return 1;
}

int Version(const char* tag, request_rec* r) {
  Quoted(r, tag, kBanner);
  return 1;
}

int CopyrightLine(const char* tag, request_rec* r) {
  Quoted(r, tag, kCopyright);
  return 1;
}

int UserName(const char* tag, request_rec* r) {
  const char* user = apr_table_get(r->notes, KEL_NOTE_USER_NAME);
  Quoted(r, tag, user ? user : "unknown");
  return 1;
}

int LocalAccess(const char* tag, request_rec* r) {
  Quoted(r, tag, Bool(UiIsLocalAccount(apr_table_get(r->notes, KEL_NOTE_USER_NAME))));
  return 1;
}

int DebugUrl(const char* tag, request_rec* r) {
  Quoted(r, tag, "");
  return 1;
}

// The two lists are built whole and written once: every homepage and
// getuiinfo writes them.
int WebAppList(const char* tag, request_rec* r) {
  WebApp* list = nullptr;
  int count = UiWebApps(r, &list);
  std::string out =
      "function webappobj( name, marketingname, hidden, entryurl, integrated, port, helpurl, namazu )\n"
      "{\n"
      "this.name = name;\n"
      "this.marketingname = marketingname;\n"
      "this.hidden = hidden;\n"
      "this.entryurl = entryurl;\n"
      "this.integrated = integrated;\n"
      "this.port = port;\n"
      "this.helpurl = helpurl;\n"
      "this.namazu = namazu;\n"
      "}\n\n";
  out.append(tag).append(" = new Array;\n\n");
  for (int i = 0; list && i < count; ++i) {
    const WebApp& a = list[i];
    out.append(tag).append("[").append(std::to_string(i)).append("] = new webappobj(\"");
    out.append(Js(a.sAppName)).append("\", \"").append(Js(a.marketname)).append("\", \"");
    out.append(Bool(a.hidden != 0)).append("\", \"").append(Js(a.entryurl)).append("\", \"");
    out.append(a.chpurl[0] ? "1" : "0").append("\", \"").append(std::to_string(static_cast<int>(a.vexoPort)));
    out.append("\", \"").append(Js(a.helpurl)).append("\", \"").append(Bool(a.namazu != 0)).append("\");\n");
  }
  ap_rwrite(out.data(), static_cast<int>(out.size()), r);
  return 1;
}

int ConfigAuth(const char* tag, request_rec* r) {
  ap_rprintf(r, "%s = %s;\n", tag, Bool(KelIsAdministrator(apr_table_get(r->notes, KEL_NOTE_AUTH_LEVEL)) != 0));
  return 1;
}

int Month(const char* tag, request_rec* r) {
  apr_time_exp_t now;
  int month = apr_time_exp_gmt(&now, apr_time_now()) == APR_SUCCESS ? now.tm_mon : -1;
  ap_rprintf(r, "%s = %d;\n", tag, month);
  return 1;
}

int LegacyLog(const char* tag, request_rec* r) {
  ap_rprintf(r, "%s = %s;\n", tag, Bool(CheckForOrvLogFile(r) != 0));
  return 1;
}

int LegacyHelp(const char* tag, request_rec* r) {
  ap_rprintf(r, "%s = %s;\n", tag, Bool(CheckForOrvHelpFiles(r) != 0));
  return 1;
}

int CertList(const char* tag, request_rec* r) {
  std::string out = std::string(tag) + " = new Array;\n";
  TrustedCert* list = nullptr;
  int count = GetCertificateList(r->pool, r->server, &list);
  for (int i = 0; list && i < count; ++i) {
    std::string item = std::string(tag) + "[" + std::to_string(i) + "]";
    out.append(item).append(" = new Object;\n");
    out.append(item).append(".cn = \"").append(Js(list[i].cn)).append("\";\n");
    out.append(item).append(".fname = \"").append(JsStringEscape(UiFileNamePart(list[i].path))).append("\";\n");
  }
  ap_rwrite(out.data(), static_cast<int>(out.size()), r);
  return 1;
}

int ServerCert(const char* tag, request_rec* r) {
  ap_rprintf(r, "%s = new Object;\n", tag);
  std::string name;
  bool present = UiServerNameInQuery(r->args, tag, &name);
  ap_rprintf(r, "%s.servername = \"%s\";\n", tag, JsStringEscape(name).c_str());
  int rc = present ? FetchServerCertificate(tag, r, name.c_str(), 1) : -1;
  ap_rprintf(r, "%s.getrc = %d;\n", tag, rc);
  return 1;
}

int LoginMessage(const char* tag, request_rec* r) {
  apr_file_t* file = nullptr;
  const char* path = ap_server_root_relative(r->pool, "data/htdocs/custom.txt");
  if (!path || apr_file_open(&file, path, APR_FOPEN_READ, APR_FPROT_OS_DEFAULT, r->pool) != APR_SUCCESS) {
    ap_rprintf(r, "%s = null;\n", tag);
    return 1;
  }
  ap_rprintf(r, "%s = \"\"\n", tag);
  char piece[kLoginLine];
  while (apr_file_gets(piece, sizeof piece, file) == APR_SUCCESS)
    ap_rprintf(r, "+\"%s\"\n", JsStringEscape(UiLoginPiece(piece)).c_str());
  ap_rputs(";\n", r);
  apr_file_close(file);
  return 1;
}

int LoginPicture(const char* tag, request_rec* r) {
  apr_finfo_t info;
  const char* path = ap_server_root_relative(r->pool, "data/htdocs/custom.jpg");
  if (path && apr_stat(&info, path, APR_FINFO_MIN, r->pool) == APR_SUCCESS)
    ap_rprintf(r, "%s = \"%s\"\n", tag, "/custom.jpg");
  else
    ap_rprintf(r, "%s = null;\n", tag);
  return 1;
}

}  // namespace

// One request's tags read the registry once: every tag of a page sees the
// same records, and the homepage's two readers share one copy.
int UiWebApps(request_rec* r, WebApp** list) {
  struct Memo {
    WebApp* list;
    int count;
  };
  static const char kKey[] = "kel_ui_webapps";
  void* stored = nullptr;
  apr_pool_userdata_get(&stored, kKey, r->pool);
  auto* memo = static_cast<Memo*>(stored);
  if (!memo) {
    memo = static_cast<Memo*>(apr_pcalloc(r->pool, sizeof(Memo)));
    memo->count = GetWebAppCfgList(r->pool, r->server, &memo->list);
    apr_pool_userdata_setn(memo, kKey, nullptr, r->pool);
  }
  *list = memo->list;
  return memo->count;
}

const UiTag kUiTags[16] = {
    {"systemname", SystemName},  {"kelversion", Version},   {"kelcopyright", CopyrightLine},
    {"username", UserName},      {"localaccess", LocalAccess}, {"debugurl", DebugUrl},
    {"webapplist", WebAppList},  {"kelconfigauth", ConfigAuth}, {"kelmonth", Month},
    {"orvlog", LegacyLog},       {"orvhelp", LegacyHelp},   {"navigation", EmitNavigation},
    {"certlist", CertList},      {"servercert", ServerCert}, {"loginmsg", LoginMessage},
    {"loginjpg", LoginPicture},
};

const UiTag* FindUiTag(const char* name) {
  for (const UiTag& tag : kUiTags)
    if (apr_strnatcasecmp(tag.name, name) == 0) return &tag;
  return nullptr;
}

bool EmitUiTag(const char* name, request_rec* r) {
  const UiTag* tag = FindUiTag(name);
  if (!tag) return false;
  tag->emit(tag->name, r);
  return true;
}

void UiScriptAnswer(request_rec* r) { ap_set_content_type(r, "text/javascript; charset=UTF-8"); }

// The dispatcher: "JS" or "Javascript" first, then the tags wanted (all of
// them when none is named).
int UiInfo(request_rec* r) {
  UiScriptAnswer(r);
  std::vector<std::string> tokens = UiQueryTokens(r->args);
  if (tokens.empty() || !UiIsScriptToken(tokens[0])) return OK;
  if (tokens.size() == 1) {
    for (const UiTag& tag : kUiTags) tag.emit(tag.name, r);
    return OK;
  }
  for (size_t i = 1; i < tokens.size(); ++i) EmitUiTag(UiTagOfToken(tokens[i]).c_str(), r);
  return OK;
}

int UiLoginInfo(request_rec* r) {
  UiScriptAnswer(r);
  for (const char* name : {"systemname", "kelversion", "kelcopyright", "loginmsg", "loginjpg"}) EmitUiTag(name, r);
  return OK;
}
