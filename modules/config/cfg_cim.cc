// Group configuration's request handling inside the web server: the
// headers, the body, the access rule, the dispatch on the method, the
// answer and the restart that ApplyToAll asks for.
#include "cfg_cim.h"

#include "apr_strings.h"
#include "http_log.h"
#include "http_protocol.h"

#include <memory>
#include <string>

#include "cfg_cim_ops.h"
#include "cfg_handlers.h"
#include "cfg_settings.h"
#include "kel_config.h"
#include "kel_login.h"
#include "kel_request.h"
#include "kel_svcctl.h"
#include "kel_xml.h"

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_config_module;
}
APLOG_USE_MODULE(kel_config);

namespace {

constexpr const char kContentType[] = "application/xml; charset=\"utf-8\"";
// CIM error codes of the standard clients' answers.
constexpr int kCimErrFailed = 1;
constexpr int kCimErrNotFound = 6;
constexpr int kCimErrNotSupported = 7;

bool Is(const char* method, const char* name) { return method && apr_strnatcasecmp(method, name) == 0; }

// Changing methods are for administrators; every refusal is logged.
bool Refused(request_rec* r, const char* method) {
  if (RequireAdministrator(r) == 0) return false;
  const char* user = apr_table_get(r->notes, KEL_NOTE_USER_NAME);
  LogOutput(2, "Group configuration %s from %s refused: %s is not an administrator.", method, r->useragent_ip,
            user ? user : "an anonymous client");
  return true;
}

// A request that cannot be processed: no CIM answer, the status says why.
int Unprocessable(request_rec* r, int status, CimClient client) {
  r->status = status;
  if (client == CimClient::kStandard && status == HTTP_BAD_REQUEST)
    apr_table_setn(r->err_headers_out, "CIMError", "request-not-well-formed");
  return -1;
}

void Answer(request_rec* r, CimClient client, const std::string& text) {
  ap_set_content_type(r, kContentType);
  if (client == CimClient::kStandard) apr_table_setn(r->headers_out, "CIMOperation", "MethodResponse");
  if (!text.empty()) ap_rwrite(text.data(), static_cast<int>(text.size()), r);
}

// ApplyToAll: the staged certificates go live, the answer goes out, then
// the service restarts the web server.
int ApplyToAll(request_rec* r, CimClient client, int messageId, bool methodCall) {
  ActivateStagedCertificates();
  LogOutput(0, "The KEL has been group configured.");
  Answer(r, client,
         client == CimClient::kLegacy
             ? CimFormedSimple(messageId, "ApplyToAll")
             : CimSimpleResponse(CimDialect::kStandard, messageId, CimResponseElement(methodCall), "ApplyToAll"));
  // The client has its answer before the server goes through its restart.
  ap_rflush(r);
  ap_log_rerror(APLOG_MARK, APLOG_ALERT, 0, r, "A group configuration task requested a graceful restart.");
  if (RequestServiceRestart() == 1) return 1;
  LogOutput(2, "As a group configuration task target, attempting to restarting KEL failed.");
  return 0;
}

}  // namespace

void KelErrorLogLine(void* r, const char* line) {
  ap_log_rerror(APLOG_MARK, APLOG_EMERG, 0, static_cast<request_rec*>(r), "%s", line);
}

int HandleCimRequest(request_rec* r) {
  CimClient client = ClassifyCimObject(apr_table_get(r->headers_in, "CIMObject"));
  if (client == CimClient::kNone || !Is(apr_table_get(r->headers_in, "CIMOperation"), "MethodCall")) return 0;
  const bool legacy = client == CimClient::kLegacy;
  const CimDialect dialect = legacy ? CimDialect::kLegacy : CimDialect::kStandard;

  std::string body;
  KelBody read;
  if (ReadRequestBody(r, &body, &read) != 0)
    return Unprocessable(r, read == KelBody::kTooLarge ? HTTP_REQUEST_ENTITY_TOO_LARGE : HTTP_BAD_REQUEST, client);
  CimTrace("\ncimoperation: \n", body);
  // The older clients' bodies are URL-encoded as a whole; a standard
  // client's is plain XML, read as such before anything else.
  std::unique_ptr<kel::XmlDocument> doc;
  if (legacy) {
    KelUrlDecode(&body);
  } else {
    std::string error;
    doc = kel::XmlDocument::Parse(body, &error);
    if (!doc) {
      LogOutput(2, "Group configuration request from %s refused: not a well-formed CIM-XML document (%s).",
                r->useragent_ip, error.c_str());
      return Unprocessable(r, HTTP_BAD_REQUEST, client);
    }
  }
  const int messageId = CimMessageId(body);
  const bool methodCall = doc && kel::XmlFindFirst(doc->DocumentNode(), "METHODCALL");
  const char* method = apr_table_get(r->headers_in, "CIMMethod");

  if (Is(method, "EnumerateInstances")) {
    std::string text = CimEnumerate(ConfigOf(r), messageId, dialect);
    CimTrace("\nEnumerateInstance: \n", text);
    Answer(r, client, text);
    return 1;
  }
  if (Is(method, "ModifyInstance")) {
    if (Refused(r, "ModifyInstance")) return HTTP_MOVED_TEMPORARILY;
    CimFraming framing;
    CimOutcome outcome =
        CimModifyInstance(r->pool, ConfigOf(r), body, messageId, dialect, &framing, KelErrorLogLine, r);
    if (outcome.result < 0) return Unprocessable(r, HTTP_BAD_REQUEST, client);
    Answer(r, client, outcome.text);
    return 1;
  }
  if (Is(method, "ApplyToAll")) {
    if (Refused(r, "ApplyToAll")) return HTTP_MOVED_TEMPORARILY;
    return ApplyToAll(r, client, messageId, methodCall);
  }
  if (!legacy && Is(method, "GetInstance")) {
    // A standard client reads an instance before it modifies it.
    std::string text, key = CimRequestedInstance(*doc);
    if (!CimInstanceResponse(TakeCimSnapshot(ConfigOf(r)), messageId, key, &text))
      text = CimErrorResponse(dialect, messageId, CimResponseElement(false), "GetInstance", kCimErrNotFound,
                              "No such instance\n");
    Answer(r, client, text);
    return 1;
  }
  if (!legacy && Is(method, "GetClass")) {
    Answer(r, client, CimClassResponse(messageId));
    return 1;
  }
  LogOutput(1, "Group configuration request from %s: the method %s is not supported.", r->useragent_ip,
            method ? method : "(none)");
  const char* description = CimErrorDescription(3);
  Answer(r, client,
         legacy ? CimFormedError(messageId, "UnknownMethod", kCimErrFailed, description)
                : CimErrorResponse(dialect, messageId, CimResponseElement(methodCall), method ? method : "UnknownMethod",
                                   kCimErrNotSupported, description));
  return 1;
}
