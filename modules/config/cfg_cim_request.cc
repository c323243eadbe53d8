#include "cfg_cim_request.h"

#include <apr_strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "cfg_log.h"
#include "kel_form.h"

namespace {

constexpr const char kProxyObject[] = "root/dornik/proxy";
constexpr const char kProxyClass[] = "Drk_Proxy";
constexpr const char kMessageId[] = "MESSAGE ID=\"";

std::string Decoded(const std::string& text) {
  std::string copy = text;
  KelUrlDecode(&copy);
  return copy;
}

// The direct child element of that name, or an empty node.
kel::XmlNode ChildElement(kel::XmlNode parent, const char* name) {
  for (kel::XmlNode c = parent.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && strcmp(c.name(), name) == 0) return c;
  return kel::XmlNode();
}

}  // namespace

std::string CimObjectPath(const char* header) {
  if (!header) return "";
  std::string path = header;
  // A zero byte would end the path early: such a path names nothing.
  if (path.find("%00") != std::string::npos) return "";
  if (path.find('%') != std::string::npos) KelUrlDecode(&path);
  return path;
}

CimClient ClassifyCimObject(const char* header) {
  if (!header) return CimClient::kNone;
  if (apr_strnatcasecmp(header, kProxyObject) == 0) return CimClient::kLegacy;
  if (!strchr(header, '%')) return CimClient::kNone;
  std::string path = CimObjectPath(header);
  // The namespace, without a class or instance a standard client may add.
  std::string ns = path.substr(0, path.find(':'));
  return apr_strnatcasecmp(ns.c_str(), kProxyObject) == 0 ? CimClient::kStandard : CimClient::kNone;
}

int CimMessageId(const std::string& body) {
  size_t at = body.find("MESSAGE ID");
  if (at == std::string::npos) return 0;
  at += sizeof kMessageId - 1;  // the attribute's opening quote included, whatever stands there
  if (at >= body.size()) return 0;
  errno = 0;
  long v = strtol(body.c_str() + at, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

int ReadCIMXML(kel::XmlNode instance, apr_table_t* table, bool decodeCertificates,
               void (*sink)(void*, const char*), void* context) {
  std::vector<kel::XmlNode> properties = kel::XmlFindByTag(instance, "PROPERTY");
  for (kel::XmlNode p : properties) {
    const char* name = kel::XmlGetAttribute(p, "NAME");
    kel::XmlNode value = ChildElement(p, "VALUE");
    if (!name || !value) continue;
    std::string text = kel::XmlFirstChildText(value);
    if (decodeCertificates && strstr(name, "ZQCert")) text = Decoded(text);
    apr_table_set(table, name, text.c_str());
    ConfigDebugLine(sink, context, "ReadCIMXML: name:%s  value:%s\n", name, text.c_str());
  }
  return properties.empty() ? 1 : 0;
}

CimModifyCall CollectModifyInstances(const kel::XmlDocument& doc, apr_table_t* table, bool decodeCertificates,
                                     void (*sink)(void*, const char*), void* context) {
  CimModifyCall call;
  std::vector<kel::XmlNode> calls = kel::XmlFindByTag(doc.DocumentNode(), "METHODCALL");
  if (!calls.empty()) {
    call.framing = CimFraming::kMethodCall;
  } else {
    calls = kel::XmlFindByTag(doc.DocumentNode(), "IMETHODCALL");
    call.framing = calls.empty() ? CimFraming::kNeither : CimFraming::kImethodCall;
  }
  for (kel::XmlNode c : calls) {
    for (kel::XmlNode instance : kel::XmlFindByTag(c, "INSTANCE")) {
      const char* cls = kel::XmlGetAttribute(instance, "CLASSNAME");
      if (cls && strstr(cls, kProxyClass)) {
        call.instanceError |= ReadCIMXML(instance, table, decodeCertificates, sink, context);
      } else {
        call.instanceError = 4;
        ++call.badClasses;
      }
    }
  }
  return call;
}

std::string CimRequestedInstance(const kel::XmlDocument& doc) {
  kel::XmlNode name = kel::XmlFindFirst(doc.DocumentNode(), "INSTANCENAME");
  kel::XmlNode key = name ? kel::XmlFindFirst(name, "KEYBINDING") : kel::XmlNode();
  const char* keyName = key ? kel::XmlGetAttribute(key, "NAME") : nullptr;
  return keyName ? keyName : "";
}
