// What a management server's CIM-XML request says: which kind of client
// sent it, the message identifier, the body's URL decoding, and the
// instances of a ModifyInstance call as a batch of settings.
#pragma once

#include <apr_tables.h>

#include <string>

#include "kel_xml.h"

// Two kinds of client reach the proxy object. Older management servers send
// the object path as it is ("root/dornik/proxy") and expect the answers'
// historic bytes; standard CIM clients escape it ("root%2Fdornik%2Fproxy",
// as the CIM-over-HTTP rules say) and get well-formed CIM-XML.
enum class CimClient { kNone, kLegacy, kStandard };

// The CIMObject header as a client kind; kNone for any other object path.
// A standard client may name the class too ("root%2Fdornik%2Fproxy%3ADrk_Proxy").
CimClient ClassifyCimObject(const char* header);

// The CIMObject header with its %XX escapes decoded when the client escaped
// it; the header as it is otherwise. "" for none.
std::string CimObjectPath(const char* header);

// The integer after the first MESSAGE ID=" of the body, as the C library's
// decimal conversion reads it (clamped to int); 0 when there is none.
int CimMessageId(const std::string& body);

// How a ModifyInstance request was framed; the numbers are the process-wide
// response form that answers the older clients.
enum class CimFraming { kImethodCall = 0, kMethodCall = 1, kNeither = 2 };

// What the instances of a ModifyInstance document gave.
struct CimModifyCall {
  CimFraming framing = CimFraming::kNeither;
  int instanceError = 0;  // index of the error description; 0 for none
  int badClasses = 0;     // instances whose class is not the proxy's: one error answer each
};

// Sets every property of every proxy instance of the call list (the
// METHODCALL elements, or else the IMETHODCALL ones) into table. With
// decodeCertificates, certificate values are URL-decoded one by one (the
// standard clients' bodies are not decoded as a whole). Debug lines go to sink.
CimModifyCall CollectModifyInstances(const kel::XmlDocument& doc, apr_table_t* table, bool decodeCertificates,
                                     void (*sink)(void* context, const char* line), void* context);

// One instance's properties into table: each PROPERTY with a NAME and a VALUE
// child gives name and the VALUE's text. 1 when the instance has no
// property at all, else 0.
int ReadCIMXML(kel::XmlNode instance, apr_table_t* table, bool decodeCertificates,
               void (*sink)(void* context, const char* line), void* context);

// The key name of a GetInstance request's INSTANCENAME ("OS Group", ...);
// "" when the request names none.
std::string CimRequestedInstance(const kel::XmlDocument& doc);
