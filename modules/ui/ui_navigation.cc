// The navigation tag: every web application's navigation script (one
// sub-request per distinct URL), then the legacy agents' merged navigation,
// each source timed so that a slow one can be found.
#include <cstdint>
#include <cstring>
#include <string>

#include "httpd.h"
#include "apr_strings.h"
#include "apr_tables.h"
#include "apr_time.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "kel_bc.h"
#include "kel_config.h"
#include "kel_text.h"
#include "ui_module.h"

APLOG_USE_MODULE(kel_ui);

namespace {

long Seconds() { return static_cast<long>(apr_time_sec(apr_time_now())); }

int UiTimeout(request_rec* r) {
  char* value = GetKELInternalCfgValue(r->pool, r->server, "ui-timeout");
  int32_t limit = 0;
  if (value) memcpy(&limit, value, sizeof limit);
  return limit;
}

// A stored URL inside a script comment: no line break may end the comment
// and no "</script>" the element.
std::string InComment(const char* text) { return JsStringEscape(text); }

}  // namespace

// The page's own output filters take the sub-request's answer, so it lands
// in this response where the caller stands.
void UiInclude(request_rec* r, const char* url, int* result, int* status) {
  request_rec* rr = ap_sub_req_lookup_uri(url, r, r->output_filters);
  if (!rr) {
    *result = *status = HTTP_INTERNAL_SERVER_ERROR;
    return;
  }
  // A source that cannot be served is not run (nothing would be written
  // but an error page); its line reports the lookup's status.
  *result = rr->status == HTTP_OK ? ap_run_sub_req(rr) : rr->status;
  *status = rr->status;
  ap_rflush(r);
  ap_destroy_sub_req(rr);
}

// OutputNavigationFilesInJS
int EmitNavigation(const char* tag, request_rec* r) {
  WebApp* list = nullptr;
  int count = UiWebApps(r, &list);
  apr_table_t* loaded = apr_table_make(r->pool, count > 0 ? count : 1);
  const char* breakdown = "";
  int limit = UiTimeout(r);
  long start = Seconds();
  long last = start;

  ap_rprintf(r, "</script>\n<script>\n//------------- begin %s ----------------\n\n", tag);
  for (int i = 0; list && i < count; ++i) {
    const WebApp& app = list[i];
    if (!app.chpurl[0]) continue;
    if (apr_table_get(loaded, app.chpurl)) {
      ap_rprintf(r, "//----- duplicate CHP URL %s skipped ----------------\n", InComment(app.chpurl).c_str());
      continue;
    }
    apr_table_setn(loaded, app.chpurl, "URL-already-loaded");
    ap_rflush(r);
    long before = Seconds();
    int result = 0, status = 0;
    UiInclude(r, app.chpurl, &result, &status);
    last = Seconds();
    int taken = static_cast<int>(last - before);
    breakdown = apr_psprintf(r->pool, "%s  %s(%s): %ds  ||", breakdown, app.sAppName, app.marketname, taken);
    ap_rprintf(r, "//----- subrequest %s  (%d/%d) (time: %ds) ----------------\n</script>\n<script>\n\n",
               InComment(app.chpurl).c_str(), result, status, taken);
  }

  ap_rputs("\n//------------- trying BC stuff ----------------\n\n", r);
  long before = Seconds();
  GetNavigationFile(r);
  last = Seconds();
  int taken = static_cast<int>(last - before);
  breakdown = apr_psprintf(r->pool, "%s  orv(backwards compatibility): %ds", breakdown, taken);
  ap_rprintf(r, "\n//-------------  BC stuff done (time: %ds) ----------------\n\n", taken);

  int total = static_cast<int>(last - start);
  ap_rprintf(r, "\n\n//------------- end %s (total time: %ds) ----------------\n\n</script>\n<script>\n", tag, total);
  const char* message = apr_psprintf(r->pool, "Nav Load Time:  %ds  [breakdown:  %s]", total, breakdown);
  DebugOutput("mod_kel_ui:  %s\n", message);
  if (total > limit) {
    LogOutput(2, "UI Timeout (limit: %ds) -- %s", limit, message);
    ap_log_rerror(APLOG_MARK, APLOG_EMERG, 0, r, "QXKEL:  mod_kel_ui/OutputNavigationFilesInJS UI Timeout (limit: %ds) -- %s",
                  limit, message);
  }
  return 1;
}
