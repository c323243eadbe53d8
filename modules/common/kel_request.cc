#include "kel_request.h"

#include <strings.h>

#include <algorithm>
#include <cstring>

#include "apr_strings.h"
#include "http_protocol.h"
#include "kel_login.h"

namespace {

constexpr size_t kBodyPiece = 8192;

}  // namespace

int KelRedirect(request_rec* r, const char* location, int status) {
  apr_table_set(r->err_headers_out, "Location", location);
  r->status = status;
  return status;
}

int KelMessage(request_rec* r, const char* code) {
  return KelRedirect(r, apr_pstrcat(r->pool, "/message.php?", code, nullptr), HTTP_MOVED_TEMPORARILY);
}

bool KelIsFormPost(const request_rec* r) {
  const char* type = apr_table_get(r->headers_in, "Content-Type");
  return r->method_number == M_POST && type && strcasecmp(type, "application/x-www-form-urlencoded") == 0;
}

std::string KelLogContext(const request_rec* r, const char* module) {
  std::string out = std::string(module) + " [client " + (r->useragent_ip ? r->useragent_ip : "-");
  if (const char* user = apr_table_get(r->notes, KEL_NOTE_USER_NAME)) {
    out += ", user ";
    out += ap_escape_logitem(r->pool, user);
  }
  return out + "]";
}

bool KelIsAdministrator(const request_rec* r) {
  return KelIsAdministrator(apr_table_get(r->notes, KEL_NOTE_AUTH_LEVEL)) != 0;
}

KelBody KelReadBody(request_rec* r, apr_off_t limit, std::string* body) {
  body->clear();
  if (ap_setup_client_block(r, REQUEST_CHUNKED_ERROR) != OK) {
    r->connection->keepalive = AP_CONN_CLOSE;
    return KelBody::kRefused;
  }
  if (!ap_should_client_block(r)) return KelBody::kNone;
  if (r->remaining > limit) {
    r->connection->keepalive = AP_CONN_CLOSE;
    return KelBody::kTooLarge;
  }
  apr_off_t length = r->remaining;
  body->reserve(static_cast<size_t>(length));
  char piece[kBodyPiece];
  long n;
  while ((n = ap_get_client_block(r, piece, sizeof piece)) > 0)
    if (static_cast<apr_off_t>(body->size()) < length)
      body->append(piece, std::min<size_t>(n, static_cast<size_t>(length) - body->size()));
  return n < 0 ? KelBody::kFailed : KelBody::kRead;
}
