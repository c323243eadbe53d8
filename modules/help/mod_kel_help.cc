// The help module: serves /help, the portal's own help pages and the
// legacy agents' merged help. Everything but the request's decoding lives
// in the help core (help_topics, help_legacy, help_html).
#include "httpd.h"
#include "http_config.h"
#include "http_log.h"
#include "http_protocol.h"
#include "bc_help.h"
#include "help_html.h"
#include "kel_dirs.h"
#include "kel_module.h"
#include "kel_request.h"

#include <strings.h>

#include <cstring>
#include <string>

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_help_module;
}
APLOG_USE_MODULE(kel_help);

namespace {

constexpr const char* kHandlerName = "kel_help_handler";

// The query's topic= and query= values, decoded as forms encode them; the
// first of each name counts.
HelpRequest ReadRequest(const request_rec* r) {
  HelpRequest request;
  bool topicSeen = false;
  std::string args = r->args ? r->args : "";
  for (size_t at = 0; at <= args.size();) {
    size_t end = args.find('&', at);
    if (end == std::string::npos) end = args.size();
    std::string piece = args.substr(at, end - at);
    at = end + 1;
    size_t eq = piece.find('=');
    std::string name = piece.substr(0, eq);
    std::string value = eq == std::string::npos ? "" : piece.substr(eq + 1);
    bool isTopic = strcasecmp(name.c_str(), "topic") == 0 && !topicSeen;
    bool isQuery = strcasecmp(name.c_str(), "query") == 0 && !request.hasQuery;
    if (!isTopic && !isQuery) continue;
    if (!KelFormDecode(&value)) request.malformed = true;
    if (isTopic) {
      request.topic = value;
      topicSeen = true;
    } else {
      request.query = value;
      request.hasQuery = true;
    }
  }
  // Only /help itself has topics: any other address under it names none
  // that exists.
  if (strcasecmp(r->uri, "/help") != 0 && strcasecmp(r->uri, "/help/") != 0) {
    request.topic = r->uri;
    request.hasQuery = false;
  }
  return request;
}

LegacyHelpFiles MergedFiles() {
  BcMergedPaths merged = BcMergedFilePaths();
  return LegacyHelpFiles{merged.contents, merged.index, merged.search, KelSharedPath(KelShared::kLegacyMapFile)};
}

int Answer(request_rec* r) {
  if (r->method_number != M_GET) {
    r->allowed = AP_METHOD_BIT << M_GET;
    return HTTP_METHOD_NOT_ALLOWED;
  }
  HelpRequest request = ReadRequest(r);
  std::shared_ptr<const LegacyHelp> help = CurrentLegacyHelp(MergedFiles());
  HelpPage page = RenderHelpPage(request, help.get());
  if (page.status != HTTP_OK) {
    // A link that leads nowhere is worth finding; it is no fault of the server.
    ap_log_rerror(APLOG_MARK, APLOG_INFO, 0, r, "%s: %s answered %d (%s)", KelLogContext(r, "kel_help").c_str(),
                  ap_escape_logitem(r->pool, r->unparsed_uri), page.status, page.title.c_str());
  }
  r->status = page.status;
  ap_set_content_type(r, "text/html; charset=utf-8");
  // The merged help changes with every search for agents.
  apr_table_setn(r->headers_out, "Cache-Control", "no-cache");
  if (!r->header_only) ap_rwrite(page.html.data(), static_cast<int>(page.html.size()), r);
  return OK;
}

int Handler(request_rec* r) {
  if (!KelIsHandler(r, kHandlerName) || r->uri == nullptr) return DECLINED;
  return KelGuard("kel_help: answering a help request", static_cast<int>(HTTP_INTERNAL_SERVER_ERROR),
                  [r]() { return Answer(r); });
}

void RegisterHooks(apr_pool_t*) {
  KelHookHandlerUrlType([](request_rec* r) { return KelTypeOfHandlerUrl(r, kHandlerName); });
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_MIDDLE);
}

}  // namespace

extern "C" {
KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_help_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, RegisterHooks, AP_MODULE_FLAG_NONE,
};
}
