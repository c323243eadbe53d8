// What group configuration does to the settings and the certificate store:
// the enumeration, ModifyInstance through the settings batch, and the
// activation of staged certificates; the response form the older clients
// are answered in; the debug trace.
#pragma once

#include <apr_pools.h>

#include <string>

#include "cfg_cim_request.h"
#include "cfg_cim_response.h"
#include "cfg_settings.h"

// How the last ModifyInstance of an older client was framed (0 at start):
// their simple and error answers follow it.
CimFraming CimResponseForm();
void SetCimResponseForm(CimFraming form);

// A simple or error answer for an older client in the response form; "" in
// the form kNeither.
std::string CimFormedSimple(int messageId, const char* method);
std::string CimFormedError(int messageId, const char* method, int code, const char* description);

// The settings and certificates an enumeration shows, under their read locks.
CimSnapshot TakeCimSnapshot(KelConfigServerConfig* config);
// The EnumerateInstances answer (an error answer should building fail).
std::string CimEnumerate(KelConfigServerConfig* config, int messageId, CimDialect dialect);

struct CimOutcome {
  std::string text;  // the answer, "" for none
  int result = 1;    // 1 answered; -1 the document could not be read
};
// ModifyInstance of a decoded body: the document passes through
// conf/cimom.xml (written atomically, removed afterwards), its proxy
// instances become one settings batch with the group-configuration flags.
// requestFraming receives how the request was framed. Debug lines go to sink.
CimOutcome CimModifyInstance(apr_pool_t* pool, KelConfigServerConfig* config, const std::string& body, int messageId,
                             CimDialect dialect, CimFraming* requestFraming,
                             void (*sink)(void* context, const char* line), void* context);

// Staged "*.pem.ras" certificates become the trusted ones: when there is at
// least one, the current certificates' files are deleted and every staged
// file is renamed to its ".pem" name. The number renamed.
int ActivateStagedCertificates();

// <write>/conf/cimom.xml and <write>/temp/gc.dbg.
std::string CimomXmlPath();
std::string CimTracePath();
// Appends label and text to the trace while category "kel_config" is on.
void CimTrace(const char* label, const std::string& text);
