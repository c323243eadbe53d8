#include "kel_host.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int StartWinsock() { return 0; }

int GetLocalHostName(char* buf, size_t size) {
  if (!buf || size == 0) return -1;
  int rc = gethostname(buf, size);
  buf[size - 1] = '\0';
  return rc;
}

bool ParseIpv4(const std::string& text, uint32_t* networkOrder) {
  in_addr a;
  if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  *networkOrder = a.s_addr;
  return true;
}

std::string Ipv4Text(uint32_t networkOrder) {
  in_addr a;
  a.s_addr = networkOrder;
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, text, sizeof text) ? text : "";
}

bool IsLoopbackIpv4(const std::string& text) {
  uint32_t a;
  return ParseIpv4(text, &a) && (ntohl(a) >> 24) == 127;
}

int BuildLocalAddressList(const std::vector<std::string>& addressTexts, uint32_t** list) {
  if (!list) return 0;
  auto* out = static_cast<uint32_t*>(malloc((addressTexts.size() + 2) * sizeof(uint32_t)));
  if (!out) return 0;
  size_t n = 0;
  ParseIpv4("127.0.0.1", &out[n++]);
  for (const std::string& text : addressTexts) {
    // The original compared over the text's own length, so "" is skipped too.
    if (text.empty() || text == "0.0.0.0" || text == "255.255.255.255") continue;
    if (!ParseIpv4(text, &out[n])) continue;
    ++n;
  }
  out[n] = 0;
  *list = out;
  return static_cast<int>(n);
}

int GetLocalAddressList(uint32_t** list) {
  std::vector<std::string> texts;
  struct ifaddrs* ifs = nullptr;
  // When the interfaces cannot be read the list is 127.0.0.1 alone.
  if (getifaddrs(&ifs) == 0) {
    for (struct ifaddrs* i = ifs; i; i = i->ifa_next) {
      if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
      texts.push_back(Ipv4Text(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr));
    }
    freeifaddrs(ifs);
  }
  return BuildLocalAddressList(texts, list);
}

int CheckOsVersion() {
  struct utsname u;
  if (uname(&u) != 0) return 0;
  return 0;
}
