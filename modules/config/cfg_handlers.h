// The settings and status requests the module answers.
#pragma once

#include <string>

#include "httpd.h"
#include "kel_request.h"

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
