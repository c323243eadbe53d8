// What the portal's modules do with a request, done one way: the message
// page, form and query values, the request body, the administrator check.
#pragma once

#include <string>

#include "httpd.h"
#include "kel_form.h"

// A 302 to the message page: code is "<number>&<kind>" ("200&4").
int KelMessage(request_rec* r, const char* code);
// A redirect with that status (302, 303) to location.
int KelRedirect(request_rec* r, const char* location, int status);

// A POST whose body is an urlencoded form.
bool KelIsFormPost(const request_rec* r);
// What our own log lines about a request begin with, so an administrator
// can tell where they come from: "<module> [client <address>, user <name>]"
// (the user as the login layer named it, left out before it has; escaped).
std::string KelLogContext(const request_rec* r, const char* module);

// The login layer's note says administrator; a missing note does not.
bool KelIsAdministrator(const request_rec* r);

enum class KelBody {
  kRead,      // the whole body is in *body
  kNone,      // the request has no body
  kTooLarge,  // over the limit: not read
  kRefused,   // chunked, or a length httpd refuses: not read
  kFailed,    // the client went away while sending it
};
// Reads a Content-Length body of at most limit bytes. A body left unread
// closes the connection after the answer, so a client that sends it anyway
// cannot wait on a keep-alive connection for ever.
KelBody KelReadBody(request_rec* r, apr_off_t limit, std::string* body);
