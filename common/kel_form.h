// Form and query text as clients send it: %XX escapes and "+" blanks,
// decoded without the web server, so that everything reading a body or a
// query string can be tested and fuzzed on its own.
#pragma once

#include <string>

// A form value as forms send it: "+" a blank, then %XX decoded, an encoded
// "/" included (httpd's ap_unescape_url refuses that one, and base64 text
// and passwords hold it). false, and the value unchanged, for a malformed
// escape or an encoded zero byte. The value ends at a zero byte it holds.
bool KelFormDecode(std::string* value);
// The first field of that name in an urlencoded body, decoded; "" when it is
// absent or malformed.
std::string KelFormField(const std::string& body, const char* name);

// %XX decoded in place as the web server decodes a URL ("+" stays): a
// malformed escape is kept as it stands and decoding goes on past it, and
// the text ends at a decoded zero byte. false when an escape was malformed.
bool KelUrlDecode(std::string* text);
