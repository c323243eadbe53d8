// The UI module's query readers on any bytes: getuiinfo's tokens and the
// tags they name, the certificate tag's server name, the redirect text of
// the message page, the log selector and the certificate cookie.
#include <cstdlib>

#include "fuzz_env.h"
#include "kel_text.h"
#include "ui_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string query = kelfuzz::Text(data, size);
  std::vector<std::string> tokens = UiQueryTokens(query.c_str());
  if (!tokens.empty() && UiIsScriptToken(tokens[0]))
    for (size_t i = 1; i < tokens.size(); ++i)
      if (UiTagOfToken(tokens[i]).find('=') != std::string::npos) abort();
  std::string name;
  if (UiServerNameInQuery(query.c_str(), "servercert", &name)) JsStringEscape(name);
  std::string location = UiLocationText(UiRedirectTextRaw(query.c_str())) + UiLocationText(UiRedirectTextOfTokens(query.c_str()));
  for (char c : location)
    if (c <= ' ' || c >= 0x7f) abort();  // nothing that could end the header line
  UiLogSelector(query.c_str());
  std::string value;
  UiValueBeforeAmpersand(query.c_str(), "&ZQ=", &value);
  std::string pem;
  UiZqCertFromCookies(query.c_str(), &pem);
  for (const std::string& line : UiCertLines(pem)) JsStringEscape(line);
  UiHttpStatus(query.c_str());
  UiSessionCertPath(query.c_str());
  return 0;
}
