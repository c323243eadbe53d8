// Where a browser says a request comes from, on any bytes: the input's
// lines are the Origin, Referer and Sec-Fetch-Site headers (an empty line
// an absent header). Only a text naming the portal's own scheme, port and
// one of its names may pass as the portal's own page.
#include <strings.h>

#include <cstdlib>

#include "aa_origin.h"
#include "fuzz_env.h"

namespace {

bool NamesThePortal(const char* text) {
  return strncasecmp(text, "https://", 8) == 0 && strstr(text, "2381") != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text = kelfuzz::Text(data, size);
  std::string lines[3];
  size_t start = 0;
  for (std::string& line : lines) {
    size_t end = text.find('\n', start);
    line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
  }
  OwnOrigin own{"https", 2381, {"localhost", "portal.example.com", "10.1.2.3"}};
  RequestSource source;
  source.origin = lines[0].empty() ? nullptr : lines[0].c_str();
  source.referer = lines[1].empty() ? nullptr : lines[1].c_str();
  source.secFetchSite = lines[2].empty() ? nullptr : lines[2].c_str();
  SourceVerdict verdict = JudgeSource(source, own);
  if (verdict == SourceVerdict::kSameOrigin) {
    const char* named = source.origin ? source.origin : source.referer;
    if (named && !NamesThePortal(named)) abort();
    if (!named && strcasecmp(source.secFetchSite, "same-origin") != 0) abort();
  }
  if (verdict == SourceVerdict::kProgram && (source.origin || source.referer || source.secFetchSite)) abort();
  return 0;
}
