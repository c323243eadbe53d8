#include "kel_form.h"

#include <apr_escape.h>

#include <cstring>
#include <vector>

namespace {

// APR's decoder works on a C string: what follows a zero byte is not part
// of the text (as it never was for the web server's own decoder).
apr_status_t Decode(std::string* text, int plus) {
  std::vector<char> out(text->size() + 1, '\0');
  apr_status_t rv = apr_unescape_url(out.data(), text->c_str(), APR_ESCAPE_STRING, nullptr, nullptr, plus, nullptr);
  // An encoded zero byte is written too and ends the text.
  *text = out.data();
  return rv;
}

}  // namespace

bool KelFormDecode(std::string* value) {
  if (value->empty()) return true;
  std::string copy = *value;
  apr_status_t rv = Decode(&copy, 1);
  if (rv != APR_SUCCESS && rv != APR_NOTFOUND) return false;
  *value = copy;
  return true;
}

std::string KelFormField(const std::string& body, const char* name) {
  std::string key = std::string(name) + "=";
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    std::string pair = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (pair.compare(0, key.size(), key) == 0) {
      std::string value = pair.substr(key.size());
      return KelFormDecode(&value) ? value : "";
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return "";
}

bool KelUrlDecode(std::string* text) { return Decode(text, 0) != APR_EINVAL; }
