// What the UI module's files share: the tag emitters, the certificate
// fetch from a management server, and the request handlers.
#pragma once

#include <string>

#include "httpd.h"
#include "http_config.h"

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_ui_module;
}

// One data tag: writes JavaScript assignments to the variable tag; 1.
using UiEmitter = int (*)(const char* tag, request_rec* r);
struct UiTag {
  const char* name;
  UiEmitter emit;
};
// The sixteen tags in the order all of them are written.
extern const UiTag kUiTags[16];
// The row of a tag name (any letter case), or null.
const UiTag* FindUiTag(const char* name);
// Runs the named tag as the table spells it; false for an unknown name.
bool EmitUiTag(const char* name, request_rec* r);
struct WebApp;
// The registry's records, read once per request (pool-allocated, read only).
int UiWebApps(request_rec* r, WebApp** list);

int EmitNavigation(const char* tag, request_rec* r);

// Runs url as a sub-request whose answer goes into r's response, then
// flushes it; the run's result and the sub-request's status.
void UiInclude(request_rec* r, const char* url, int* result, int* status);

// Answers of the URL table.
int UiLoginInfo(request_rec* r);
int UiInfo(request_rec* r);
int UiLogDownload(request_rec* r);
int UiCertData(request_rec* r);
int UiCertInfo(request_rec* r);
int UiRemoveCert(request_rec* r);
int UiNavigationTree(request_rec* r);
int UiHomePage(request_rec* r);
int UiManagementCertProbe(request_rec* r);
int UiManagementLoginInfo(request_rec* r);
int UiTrustManagementCert(request_rec* r);
// The portal pages' own reads.
int UiScriptlessSettings(request_rec* r);
int UiServerCertFacts(request_rec* r);
int UiCertRequestFile(request_rec* r);

// The session certificate file of the request's login session, or "".
std::string UiSessionCertFile(request_rec* r);

// Sets the content type of a JavaScript answer.
void UiScriptAnswer(request_rec* r);

// Result codes of FetchServerCertificate.
constexpr int kFetchOk = 0;
constexpr int kFetchNoAddress = 305;
constexpr int kFetchNoSocket = 306;
constexpr int kFetchNoConnection = 307;
constexpr int kFetchNoAnswer = 308;
constexpr int kFetchNoCertificate = 309;

// Fetches a management server's certificate ("GET /GetCertificate" on port
// 280), stores it as the session certificate file and, with emit, writes it
// under the variable tag. One deadline bounds the connect, the send and the
// reads together.
int FetchServerCertificate(const char* tag, request_rec* r, const char* server, int emit);
