// Whether a state-changing request comes from one of the portal's own pages.
// Browsers say where a request comes from (Origin, Referer, Sec-Fetch-Site);
// programs send none of these and are judged by their credentials alone.
#pragma once

#include <string>
#include <vector>

// The origin the request reached: its scheme and port, and every name the
// portal answers to (host names and addresses; loopback addresses always).
struct OwnOrigin {
  std::string scheme;  // "https" or "http"
  int port = 0;
  std::vector<std::string> names;  // compared without regard to case
};

// What the browser said; nullptr for a header that is absent.
struct RequestSource {
  const char* origin = nullptr;
  const char* referer = nullptr;
  const char* secFetchSite = nullptr;
};

enum class SourceVerdict {
  kProgram,     // none of the headers: no browser sent it
  kSameOrigin,  // the headers name the portal's own origin
  kCrossSite,   // anything else, "Origin: null" and empty values included
};

// Methods that change nothing (GET, HEAD, OPTIONS) are not judged.
bool ChangesState(const char* method);

SourceVerdict JudgeSource(const RequestSource& source, const OwnOrigin& own);

// The names this host answers to: "localhost", its host name, and its IPv4
// addresses.
std::vector<std::string> LocalNames();
