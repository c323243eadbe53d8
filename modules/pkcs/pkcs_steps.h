// The module's three requests, each answered with a redirect to the
// message page. The key helper's socket is set by the module's post_config.
#pragma once

#include <string>

#include "httpd.h"

extern std::string g_pkcsKeySocket;

// "/proxy/kelgen_c.htm": a signing request for the server key.
int HandleCertificateRequest(request_rec* r);
// "/proxy/kelimp_c.htm": the authority's PKCS#7 reply becomes cert.pem.
int HandlePkcs7Import(request_rec* r);
// "/proxy/kelrestart_c.htm": the service restarts the web server, which
// then serves the imported certificate.
int HandleCertificateRestart(request_rec* r);
