#include "cfg_groups.h"

#include <grp.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "kel_host.h"

int KelGroupExists(const char* name) {
  if (!name || !*name) return 0;
  std::string group = name;
  if (const char* slash = strchr(name, '\\')) {
    std::string domain(name, slash - name);
    char host[256] = "";
    bool haveHost = GetLocalHostName(host, sizeof host) == 0;
    if (strcasecmp(domain.c_str(), "BUILTIN") != 0 && !(haveHost && strcasecmp(domain.c_str(), host) == 0)) return 0;
    group = slash + 1;
  }
  if (group.empty()) return 0;
  std::vector<char> buf(4096);
  for (;;) {
    struct group gr, *found = nullptr;
    int rc = getgrnam_r(group.c_str(), &gr, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    return rc == 0 && found ? 1 : 0;
  }
}
