#include "cfg_cim_response.h"

#include <array>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kel_text.h"

namespace {

constexpr size_t kValueLimit = 4095;
constexpr const char kClass[] = "Drk_Proxy";
constexpr const char kKeyValue[] = "Properties";

constexpr const char kEnumerationHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\n"
    "<MESSAGE ID=\"%d\" PROTOCOLVERSION=\"1.0\">\n<SIMPLERSP>\n<IMETHODRESPONSE NAME=\"%.256s\">\n<IRETURNVALUE>\n";
constexpr const char kEnumerationFooter[] =
    "</IRETURNVALUE> \n</IMETHODRESPONSE> \n</SIMPLERSP> \n</MESSAGE> \n</CIM> \n";
constexpr const char kInstanceHeader[] =
    "<VALUE.NAMEDINSTANCE>\n<INSTANCENAME CLASSNAME=\"%s\"> \n<KEYBINDING NAME=\"%s\"> \n<KEYVALUE>%s</KEYVALUE> \n"
    "</KEYBINDING> \n</INSTANCENAME> \n";
constexpr const char kInstanceOpen[] =
    "<INSTANCE CLASSNAME=\"%s\"> \n<QUALIFIER NAME=\"DISPLAYNAME\" TYPE=\"string\"> \n<VALUE>%s</VALUE> \n"
    "</QUALIFIER>\n";
constexpr const char kInstanceClose[] = "</INSTANCE> \n";
constexpr const char kInstanceFooter[] = "</VALUE.NAMEDINSTANCE> \n\n";
// The property templates in their pieces: an enumeration appends them
// rather than formatting kilobytes of certificate text.
//   "<PROPERTY NAME=\"%s\" PROPAGATED=\"true\" TYPE=\"%s\"> \n<QUALIFIER NAME=\"DISPLAYNAME\" TYPE=\"string\">\n"
//   "<VALUE>%s</VALUE>\n</QUALIFIER>\n<VALUE>%s</VALUE>\n</PROPERTY>\n"                 (name, type, display, value)
//   ... "<VALUE>%s</VALUE>\n</QUALIFIER>\n<QUALIFIER NAME=\"DISPLAYPROPERTYVALUE\" TYPE=\"string\">\n"
//   "<VALUE>%s</VALUE></QUALIFIER><VALUE>%s</VALUE>\n</PROPERTY>\n"     (name, type, display, display value, value)
constexpr const char kPropertyName[] = "<PROPERTY NAME=\"";
constexpr const char kPropertyType[] = "\" PROPAGATED=\"true\" TYPE=\"";
constexpr const char kPropertyDisplay[] = "\"> \n<QUALIFIER NAME=\"DISPLAYNAME\" TYPE=\"string\">\n<VALUE>";
constexpr const char kPropertyValue[] = "</VALUE>\n</QUALIFIER>\n<VALUE>";
constexpr const char kPropertyDisplayValue[] =
    "</VALUE>\n</QUALIFIER>\n<QUALIFIER NAME=\"DISPLAYPROPERTYVALUE\" TYPE=\"string\">\n<VALUE>";
constexpr const char kCertificateValue[] = "</VALUE></QUALIFIER><VALUE>";
constexpr const char kPropertyEnd[] = "</VALUE>\n</PROPERTY>\n";
constexpr const char kResponseHead[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\">\r\n"
    "<MESSAGE ID=\"%d\" PROTOCOLVERSION=\"1.0\">\r\n<SIMPLERSP>\r\n";
constexpr const char kResponseTail[] = "</SIMPLERSP>\r\n</MESSAGE>\r\n</CIM>\n";
// The older clients read the ERROR element as it always was: never closed.
constexpr const char kLegacyError[] = "<%s NAME=\"%s\">\r\n<ERROR CODE=\"%d\" DESCRIPTION=\"%s\"> \r\n</%s>\r\n";
constexpr const char kStandardError[] = "<%s NAME=\"%s\">\r\n<ERROR CODE=\"%d\" DESCRIPTION=\"%s\"/>\r\n</%s>\r\n";
// A standard client's parser needs the end tag.
constexpr const char kLegacySimple[] = "<%s NAME=\"%s\"/>\r\n";
constexpr const char kStandardSimple[] = "<%s NAME=\"%s\">\r\n</%s>\r\n";
// GetInstance and GetClass answers open as an enumeration does, with their
// own method name.
constexpr const char kClassOpen[] = "<CLASS NAME=\"%s\">\n";
constexpr const char kClassProperty[] = "<PROPERTY NAME=\"%s\" TYPE=\"%s\"></PROPERTY>\n";
constexpr const char kClassFooter[] = "<METHOD NAME=\"ApplyToAll\" TYPE=\"uint32\"></METHOD>\n</CLASS>\n";

constexpr const char* kDescriptions[] = {
    "Invalid CIMXML parameter(s) \n",
    "ModifyInstance Property List is empty\n",
    "ApplyToAll Message ID can't be found\n",
    "Method call is not supported\n",
    "Invalid Instance Classname\n",
    "Failed to generate a valid EnumerateInstance response",
};

struct Instance {
  const char* key;
  const char* display;
};
constexpr Instance kInstances[] = {
    {"OS Group", "Settings"},
    {"Configuration Options", "Configuration Settings"},
    {"Trusted Certificate", "Certificate Settings"},
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) vsnprintf(out.data(), out.size() + 1, format, again);
  va_end(again);
  return out;
}

// An attribute value: character data escaping and quotes.
std::string AttributeEscape(const std::string& text) {
  std::string out;
  for (char c : HtmlEscape(text)) {
    if (c == '"')
      out += "&quot;";
    else
      out += c;
  }
  return out;
}

void AppendProperty(std::string* out, const char* name, const char* type, const char* display) {
  *out += kPropertyName;
  *out += name;
  *out += kPropertyType;
  *out += type;
  *out += kPropertyDisplay;
  *out += display;
}

// One pass (an enumeration runs this over every certificate's text).
void ReplaceAll(std::string* text, const char* from, const char* to) {
  size_t fromLen = strlen(from);
  std::string out;
  out.reserve(text->size() + text->size() / 4);
  size_t start = 0;
  for (size_t at = text->find(from); at != std::string::npos; at = text->find(from, start)) {
    out.append(*text, start, at - start);
    out += to;
    start = at + fromLen;
  }
  out.append(*text, start, std::string::npos);
  if (out.size() > kValueLimit) out.resize(kValueLimit);
  text->swap(out);
}

// The qualifier and properties of one instance.
void AppendInstanceBody(std::string* out, const CimSnapshot& snapshot, int index) {
  *out += Format(kInstanceOpen, kClass, kInstances[index].display);
  if (index < 2) {
    const std::vector<CimProperty>& table = CimPropertyTable();
    for (size_t row = 0; row < table.size(); ++row) {
      if (table[row].instance != index) continue;
      AppendProperty(out, table[row].name, table[row].type, table[row].display);
      *out += kPropertyValue;
      if (row < snapshot.values.size()) AppendHtmlEscaped(out, snapshot.values[row]);
      *out += kPropertyEnd;
    }
  } else {
    for (size_t i = 0; i < snapshot.certificates.size(); ++i) {
      const CimCertificate& c = snapshot.certificates[i];
      AppendProperty(out, ("ZQCert" + std::to_string(i)).c_str(), "string", "Trusted Certificate");
      *out += kPropertyDisplayValue;
      AppendHtmlEscaped(out, c.cn);
      *out += kCertificateValue;
      AppendHtmlEscaped(out, c.value.empty() ? CimCertificateValue(c.pem) : c.value);
      *out += kPropertyEnd;
    }
  }
  *out += kInstanceClose;
}

}  // namespace

const std::vector<CimProperty>& CimPropertyTable() {
  static const std::vector<CimProperty> kTable = {
      {0, "admin-group", "string", "Administrator Group", "admin-group", false},
      {0, "operator-group", "string", "Operator Group", "operator-group", false},
      {0, "user-group", "string", "User Group", "user-group", false},
      {1, "allow-default-os-admin", "boolean", "Allow Default OS Administrator", "allow-default-os-admin", false},
      {1, "AnonymousAccess", "boolean", "Anonymous Access", "anonymous-access", false},
      {1, "LocalAccessEnabled", "boolean", "Local Access", "localaccess-enabled", false},
      {1, "LocalAccessType", "string", "Local Access Type", "localaccess-type", false},
      {1, "IPRestriction", "boolean", "IP Restricted Logins", "ip-restricted-logins", false},
      {1, "AdministratorIPInclude", "string", "IP Restricted Include", "ip-restricted-include", true},
      {1, "AdministratorIPExclude", "string", "IP Restricted Exclude", "ip-restricted-exclude", true},
      {1, "ip-binding", "boolean", "IP Binding", "ip-binding", false},
      {1, "ip-binding-list", "string", "IP Binding List", "ip-binding-list", false},
      {1, "TrustMode", "string", "Trust Mode", "trustmode", false},
      {1, "ZQNameList", "string", "TrustByName List", "zqnamelist", true},
      {1, "disable-sslv2", "boolean", "Disable SSLv2", "disable-sslv2", false},
      {1, "ui-timeout", "integer", "UI Timeout", "ui-timeout", false},
  };
  return kTable;
}

const char* CimResponseElement(bool methodCall) { return methodCall ? "METHODRESPONSE" : "IMETHODRESPONSE"; }

const char* CimErrorDescription(int index) {
  constexpr int n = sizeof kDescriptions / sizeof kDescriptions[0];
  return kDescriptions[index >= 0 && index < n ? index : 0];
}

std::string CimSimpleResponse(CimDialect dialect, int messageId, const char* element, const char* method) {
  std::string body = dialect == CimDialect::kLegacy
                         ? Format(kLegacySimple, element, method)
                         : Format(kStandardSimple, element, AttributeEscape(method).c_str(), element);
  return Format(kResponseHead, messageId) + body + kResponseTail;
}

std::string CimErrorResponse(CimDialect dialect, int messageId, const char* element, const char* method, int code,
                             const char* description) {
  std::string body = dialect == CimDialect::kLegacy
                         ? Format(kLegacyError, element, method, code, description, element)
                         : Format(kStandardError, element, AttributeEscape(method).c_str(), code,
                                  AttributeEscape(description).c_str(), element);
  return Format(kResponseHead, messageId) + body + kResponseTail;
}

std::string CimEnumerationHead(int messageId) { return Format(kEnumerationHeader, messageId, "EnumerateInstances"); }

std::string CimEnumerationBody(const CimSnapshot& snapshot) {
  // Room for the whole answer at once: the certificates are most of it.
  size_t room = 8192;
  for (const CimCertificate& c : snapshot.certificates) room += 512 + c.cn.size() + c.value.size() + c.value.size() / 8;
  std::string out;
  out.reserve(room);
  for (int i = 0; i < 3; ++i) {
    out += Format(kInstanceHeader, kClass, kInstances[i].key, kKeyValue);
    AppendInstanceBody(&out, snapshot, i);
    out += kInstanceFooter;
  }
  out += kEnumerationFooter;
  return out;
}

bool CimInstanceResponse(const CimSnapshot& snapshot, int messageId, const std::string& keyName, std::string* out) {
  for (int i = 0; i < 3; ++i) {
    if (keyName != kInstances[i].key) continue;
    *out = Format(kEnumerationHeader, messageId, "GetInstance");
    AppendInstanceBody(out, snapshot, i);
    *out += kEnumerationFooter;
    return true;
  }
  return false;
}

std::string CimClassResponse(int messageId) {
  std::string out = Format(kEnumerationHeader, messageId, "GetClass") + Format(kClassOpen, kClass);
  for (const CimProperty& p : CimPropertyTable()) out += Format(kClassProperty, p.name, p.type);
  return out + kClassFooter + kEnumerationFooter;
}

std::string CimOsEscapePath(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  static const auto kKept = [] {
    std::array<bool, 256> kept{};
    for (int c = 0; c < 128; ++c) kept[c] = isalnum(c) || (c && strchr("$-_.+!*'(),:;@&=/~", c));
    return kept;
  }();
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == 0) break;
    if (kKept[c]) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string CimCertificateValue(const std::string& pem) {
  std::string value = CimOsEscapePath(pem);
  if (value.size() > kValueLimit) value.resize(kValueLimit);
  ReplaceAll(&value, "+", "%2B");
  ReplaceAll(&value, "=", "%3D");
  ReplaceAll(&value, "%20", "+");
  return value;
}
