#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "kel_host.h"
#include "kel_text.h"
#include "svc_config.h"
#include "svc_settings.h"

std::vector<std::string> BuildBindAddressList(const ServiceSettings& settings,
                                              const std::vector<uint32_t>& local) {
  std::vector<std::string> list;
  if (!settings.bindListedNetworks) {
    for (uint32_t a : local) list.push_back(Ipv4Text(a));
  } else {
    list.push_back("127.0.0.1");
    if (settings.bindingList) {
      std::vector<bool> taken(local.size(), false);
      std::string text = *settings.bindingList;
      std::vector<char*> entries(text.size() / 2 + 2);
      int n = splitFields(text.data(), entries.data(), entries.size(), ";", 0, 0, 1);
      for (int i = 0; i < n; ++i) {
        std::string entry = entries[i];
        size_t slash = entry.find('/');
        uint32_t net, mask;
        if (slash == std::string::npos || !ParseIpv4(entry.substr(0, slash), &net) ||
            !ParseIpv4(entry.substr(slash + 1), &mask))
          continue;
        uint32_t masked = net & mask;
        if (masked == 0) continue;
        for (size_t j = 0; j < local.size(); ++j) {
          if (taken[j] || (local[j] & mask) != masked) continue;
          taken[j] = true;
          list.push_back(Ipv4Text(local[j]));
        }
      }
    }
  }
  std::vector<std::string> unique;
  for (const std::string& a : list)
    if (std::find(unique.begin(), unique.end(), a) == unique.end()) unique.push_back(a);
  return unique;
}

void BuildBindAddressList(ServiceSettings& settings) {
  uint32_t* raw = nullptr;
  std::vector<uint32_t> local;
  int n = GetLocalAddressList(&raw);
  for (int i = 0; i < n && raw; ++i) local.push_back(raw[i]);
  free(raw);
  settings.bindAddresses = BuildBindAddressList(settings, local);
}
