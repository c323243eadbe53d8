// The module's output filters: the header filter of proxied agent pages,
// the tag filter of the navigation file, and a sink for sub-request output
// that belongs to no page.
#include <string>

#include "httpd.h"
#include "apr_buckets.h"
#include "apr_strings.h"
#include "http_log.h"
#include "http_request.h"
#include "bc_module.h"
#include "kel_guard.h"

namespace {

constexpr char kTagOpen[] = "<!.";
constexpr size_t kTagOpenSize = sizeof kTagOpen - 1;

ap_filter_rec_t* g_discard = nullptr;

apr_status_t HeaderFilter(ap_filter_t* f, apr_bucket_brigade* bb) {
  try {
    request_rec* r = f->r;
    if (const char* cookie = apr_table_get(r->err_headers_out, "Set-Cookie")) {
      apr_table_set(r->headers_out, "Set-Cookie", cookie);
      apr_table_set(r->headers_in, "Cookie", cookie);
    } else if (!apr_table_get(r->headers_out, "Set-Cookie")) {
      // httpd 2.4's proxy leaves the agent's own cookie in the response
      // headers: it goes to the browser as it is.
      apr_table_set(r->headers_out, "Set-Cookie", " ");
    }
  } catch (...) {
    KelCaught("kel_bc: KEL_BC_HEADER_OUTPUT_FILTER");
  }
  ap_remove_output_filter(f);
  return ap_pass_brigade(f->next, bb);
}

struct TagFilterContext {
  apr_bucket_brigade* out;
  std::string held;  // text not yet written: an unfinished tag or tag opener
};

apr_status_t Flush(ap_filter_t* f, TagFilterContext* ctx) {
  apr_status_t rv = ap_pass_brigade(f->next, ctx->out);
  apr_brigade_cleanup(ctx->out);
  return rv;
}

apr_status_t Write(ap_filter_t* f, TagFilterContext* ctx, const std::string& text, size_t from, size_t to) {
  if (to <= from) return APR_SUCCESS;
  apr_brigade_write(ctx->out, nullptr, nullptr, text.data() + from, to - from);
  return Flush(f, ctx);
}

// "/agent/Status" asks /Proxy/LookupTag/agent?Status; the agent's answer
// takes the tag's place. What the sub-request gives is all that shows.
void ExpandTag(ap_filter_t* f, std::string tag) {
  size_t slash = tag.find('/', 1);
  if (slash != std::string::npos) tag[slash] = '?';
  request_rec* r = f->r;
  request_rec* rr = ap_sub_req_lookup_uri(apr_pstrcat(r->pool, "/Proxy/LookupTag", tag.c_str(), nullptr), r, f->next);
  if (!rr) return;
  if (rr->status == HTTP_OK) ap_run_sub_req(rr);
  ap_destroy_sub_req(rr);
}

// How many characters at the end of text could begin a tag opener.
size_t PartialOpener(const std::string& text) {
  for (size_t n = kTagOpenSize - 1; n > 0; --n)
    if (text.size() >= n && text.compare(text.size() - n, n, kTagOpen, n) == 0) return n;
  return 0;
}

apr_status_t Scan(ap_filter_t* f, TagFilterContext* ctx) {
  std::string& text = ctx->held;
  size_t pos = 0;
  for (;;) {
    size_t open = text.find(kTagOpen, pos);
    if (open == std::string::npos) {
      size_t keep = PartialOpener(text);
      apr_status_t rv = Write(f, ctx, text, pos, text.size() - keep);
      pos = text.size() - keep;
      if (rv != APR_SUCCESS) return rv;
      break;
    }
    size_t close = text.find('>', open + kTagOpenSize);
    apr_status_t rv = Write(f, ctx, text, pos, open);
    pos = open;
    if (rv != APR_SUCCESS) return rv;
    if (close == std::string::npos) break;  // the rest of the tag comes with the next bucket
    ExpandTag(f, text.substr(open + kTagOpenSize, close - open - kTagOpenSize));
    pos = close + 1;
  }
  text.erase(0, pos);
  return APR_SUCCESS;
}

// The filter reads every brigade of the response (a file may come in
// several, and a flush does not end it); only the end of the stream does.
// A tag still open there is dropped, as it has no end to expand.
apr_status_t TagFilter(ap_filter_t* f, apr_bucket_brigade* bb) {
  auto* ctx = static_cast<TagFilterContext*>(f->ctx);
  if (!ctx) {
    ctx = new TagFilterContext{apr_brigade_create(f->r->pool, f->c->bucket_alloc), {}};
    apr_pool_cleanup_register(
        f->r->pool, ctx, [](void* p) -> apr_status_t { delete static_cast<TagFilterContext*>(p); return APR_SUCCESS; },
        apr_pool_cleanup_null);
    f->ctx = ctx;
    // The tags change the length the file had.
    apr_table_unset(f->r->headers_out, "Content-Length");
  }
  try {
    while (!APR_BRIGADE_EMPTY(bb)) {
      apr_bucket* b = APR_BRIGADE_FIRST(bb);
      if (APR_BUCKET_IS_EOS(b)) {
        if (ctx->held.compare(0, kTagOpenSize, kTagOpen) != 0)
          apr_brigade_write(ctx->out, nullptr, nullptr, ctx->held.data(), ctx->held.size());
        ctx->held.clear();
        APR_BUCKET_REMOVE(b);
        APR_BRIGADE_INSERT_TAIL(ctx->out, b);
        ap_remove_output_filter(f);
        apr_brigade_cleanup(bb);
        return Flush(f, ctx);
      }
      if (APR_BUCKET_IS_METADATA(b)) {
        APR_BUCKET_REMOVE(b);
        APR_BRIGADE_INSERT_TAIL(ctx->out, b);
        apr_status_t rv = Flush(f, ctx);
        if (rv != APR_SUCCESS) return rv;
        continue;
      }
      const char* data = nullptr;
      apr_size_t length = 0;
      apr_status_t rv = apr_bucket_read(b, &data, &length, APR_BLOCK_READ);
      if (rv == APR_SUCCESS && length > 0) ctx->held.append(data, length);
      apr_bucket_delete(b);
      if (rv == APR_SUCCESS && length > 0 && (rv = Scan(f, ctx)) != APR_SUCCESS) return rv;
    }
    return APR_SUCCESS;
  } catch (...) {
    KelCaught("kel_bc: KEL_BC_TAG_PROCESSING_OUTPUT_FILTER");
    return APR_EGENERAL;
  }
}

apr_status_t DiscardFilter(ap_filter_t*, apr_bucket_brigade* bb) {
  apr_brigade_cleanup(bb);
  return APR_SUCCESS;
}

}  // namespace

void RegisterBcFilters() {
  ap_register_output_filter(kBcHeaderFilter, HeaderFilter, nullptr, AP_FTYPE_RESOURCE);
  ap_register_output_filter(kBcTagFilter, TagFilter, nullptr, AP_FTYPE_RESOURCE);
  g_discard = ap_register_output_filter("KEL_BC_DISCARD", DiscardFilter, nullptr, AP_FTYPE_RESOURCE);
}

ap_filter_t* BcDiscardSink(request_rec* r) {
  // Standing alone, with no request of its own: the sub-request's own
  // filters go in front of it and nothing reaches the calling request.
  auto* sink = static_cast<ap_filter_t*>(apr_pcalloc(r->pool, sizeof(ap_filter_t)));
  sink->frec = g_discard;
  sink->c = r->connection;
  return sink;
}
