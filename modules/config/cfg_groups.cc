#include "cfg_groups.h"

#include <string>

#include "kel_accounts.h"

int KelGroupExists(const char* name) {
  if (!name || !*name) return 0;
  std::string group = LocalAccountName(name);
  gid_t gid;
  return !group.empty() && LookupGroup(group.c_str(), &gid) ? 1 : 0;
}
