// The CIM-XML answers of group configuration: the enumeration of the three
// proxy instances, simple and error responses, and the certificate value
// encoding.
#pragma once

#include <string>
#include <vector>

// The older management servers get the historic bytes (a self-closed
// response element, an ERROR element left open); standard clients get
// well-formed CIM-XML. Every value is XML-escaped for both.
enum class CimDialect { kLegacy, kStandard };

// What an enumeration shows, read under the store's locks.
struct CimCertificate {
  std::string pem;
  std::string cn;
  std::string value;  // the PEM text encoded (CimCertificateValue); "" to encode it here
};
struct CimSnapshot {
  std::vector<std::string> values;  // one per row of the property table, "" for a missing setting
  std::vector<CimCertificate> certificates;
};

// One row of the property table of the two settings instances.
struct CimProperty {
  int instance;         // 0 "OS Group", 1 "Configuration Options"
  const char* name;     // the property
  const char* type;     // its CIM type as the older clients know it
  const char* display;  // its display name
  const char* setting;  // the setting whose text it carries
  bool commaList;       // ";" shown as ","
};
const std::vector<CimProperty>& CimPropertyTable();

// The element name of a response: "METHODRESPONSE" for a METHODCALL,
// "IMETHODRESPONSE" otherwise.
const char* CimResponseElement(bool methodCall);

// The error descriptions, indexed from 0; an index out of the table gives
// the first.
const char* CimErrorDescription(int index);

std::string CimSimpleResponse(CimDialect dialect, int messageId, const char* element, const char* method);
std::string CimErrorResponse(CimDialect dialect, int messageId, const char* element, const char* method, int code,
                             const char* description);

// EnumerateInstances: the head and then the three instances in their
// order. The head is all that depends on the request; the body only on the
// snapshot.
std::string CimEnumerationHead(int messageId);
std::string CimEnumerationBody(const CimSnapshot& snapshot);
// GetInstance of the instance with that key name (standard clients); false
// when there is none.
bool CimInstanceResponse(const CimSnapshot& snapshot, int messageId, const std::string& keyName, std::string* out);

// GetClass of the proxy class (standard clients ask for it before they
// call ApplyToAll): its properties and the method.
std::string CimClassResponse(int messageId);

// A certificate's PEM text as group configuration sends it: path-escaped as
// the web server does it for the operating system, then "+" as "%2B", "=" as
// "%3D" and "%20" as "+", each step cut to 4095 characters.
std::string CimCertificateValue(const std::string& pem);
// The web server's path escaping for the operating system (partial path):
// what is not a letter, a digit or one of $-_.+!*'(),:;@&=/~ becomes %xx.
std::string CimOsEscapePath(const std::string& text);
