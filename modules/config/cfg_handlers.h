// The settings and status requests the module answers.
#pragma once

#include <string>

#include "httpd.h"
#include "kel_request.h"

struct KelConfigServerConfig;

// The settings module's configuration of a server (the current one when the
// server has none of its own).
KelConfigServerConfig* ConfigOf(server_rec* s);
inline KelConfigServerConfig* ConfigOf(request_rec* r) { return ConfigOf(r ? r->server : nullptr); }

int HandleKelData(request_rec* r);
int HandleAddZQCert(request_rec* r);
int HandleZQStatusReport(request_rec* r);
int HandleKelStatus(request_rec* r);
int HandleCimomAndConfigUi(request_rec* r);

// 0 for an administrator; otherwise the redirect to the message page is
// set and 302 returned.
int RequireAdministrator(request_rec* r);
// The request body (no chunked bodies, at most 2 MB); 0 on success.
// outcome, when given, receives what the reader found.
int ReadRequestBody(request_rec* r, std::string* body, KelBody* outcome = nullptr);
