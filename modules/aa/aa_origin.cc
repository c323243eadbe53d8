#include "aa_origin.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "kel_host.h"

namespace {

struct Parsed {
  std::string scheme;
  std::string host;
  int port = 0;
};

int DefaultPort(const std::string& scheme) {
  if (strcasecmp(scheme.c_str(), "https") == 0) return 443;
  if (strcasecmp(scheme.c_str(), "http") == 0) return 80;
  return -1;
}

// "scheme://host[:port]" followed by nothing (an origin) or by "/", "?" or
// "#" (a referrer). User information is never part of what browsers send.
bool ParseOrigin(const std::string& text, bool withPath, Parsed* out) {
  size_t sep = text.find("://");
  if (sep == std::string::npos || sep == 0) return false;
  out->scheme = text.substr(0, sep);
  size_t start = sep + 3;
  size_t end = text.find_first_of("/?#", start);
  if (end != std::string::npos && !withPath) return false;
  std::string authority = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
  if (authority.empty() || authority.find('@') != std::string::npos) return false;
  std::string port;
  if (authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    out->host = authority.substr(0, close + 1);
    if (close + 1 < authority.size()) {
      if (authority[close + 1] != ':') return false;
      port = authority.substr(close + 2);
    }
  } else {
    size_t colon = authority.find(':');
    out->host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
  }
  if (out->host.empty()) return false;
  if (out->host.back() == '.') out->host.pop_back();
  if (port.empty()) {
    out->port = DefaultPort(out->scheme);
    return out->port > 0;
  }
  if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
  out->port = atoi(port.c_str());
  return out->port > 0 && out->port < 65536;
}

bool Matches(const Parsed& p, const OwnOrigin& own) {
  if (strcasecmp(p.scheme.c_str(), own.scheme.c_str()) != 0 || p.port != own.port) return false;
  if (IsLoopbackIpv4(p.host)) return true;
  for (const std::string& name : own.names)
    if (strcasecmp(p.host.c_str(), name.c_str()) == 0) return true;
  return false;
}

}  // namespace

bool ChangesState(const char* method) {
  for (const char* safe : {"GET", "HEAD", "OPTIONS"})
    if (method && strcmp(method, safe) == 0) return false;
  return true;
}

SourceVerdict JudgeSource(const RequestSource& source, const OwnOrigin& own) {
  if (!source.origin && !source.referer && !source.secFetchSite) return SourceVerdict::kProgram;
  // Fetch metadata, where the browser sends it, is the browser's own verdict.
  if (source.secFetchSite && strcasecmp(source.secFetchSite, "same-origin") != 0) return SourceVerdict::kCrossSite;
  Parsed p;
  if (source.origin) {
    // "null" is what browsers send for opaque and privacy-hidden origins.
    return ParseOrigin(source.origin, false, &p) && Matches(p, own) ? SourceVerdict::kSameOrigin
                                                                    : SourceVerdict::kCrossSite;
  }
  if (source.referer)
    return ParseOrigin(source.referer, true, &p) && Matches(p, own) ? SourceVerdict::kSameOrigin
                                                                   : SourceVerdict::kCrossSite;
  // Only "Sec-Fetch-Site: same-origin", from a browser that hid the rest.
  return SourceVerdict::kSameOrigin;
}

std::vector<std::string> LocalNames() {
  std::vector<std::string> names = {"localhost"};
  char host[256];
  if (GetLocalHostName(host, sizeof host) == 0 && host[0]) names.push_back(host);
  uint32_t* list = nullptr;
  if (GetLocalAddressList(&list) > 0) {
    for (uint32_t* a = list; *a; ++a) names.push_back(Ipv4Text(*a));
  }
  free(list);
  return names;
}
