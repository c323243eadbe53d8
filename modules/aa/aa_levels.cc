#include "aa_levels.h"

#include <grp.h>
#include <unistd.h>

#include <apr_strings.h>

#include <cerrno>
#include <cstring>

#include "kel_accounts.h"
#include "kel_text.h"

namespace {

// A settings entry names the group when it is the group's name, alone or
// after this host's name or "BUILTIN" and a backslash.
bool Names(const std::string& entry, const std::string& group) {
  std::string name = LocalAccountName(entry);
  return !name.empty() && apr_strnatcasecmp(name.c_str(), group.c_str()) == 0;
}

bool InList(const std::string& list, const std::vector<std::string>& groups) {
  for (const std::string& entry : SplitList(list, ';')) {
    if (entry.empty()) continue;
    for (const std::string& g : groups)
      if (Names(entry, g)) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> AccountGroups(const char* user) {
  std::vector<std::string> names;
  uid_t uid;
  gid_t gid;
  if (!user || !LookupUser(user, &uid, &gid)) return names;
  int count = 64;
  std::vector<gid_t> gids(count);
  while (getgrouplist(user, gid, gids.data(), &count) < 0) {
    if (count <= static_cast<int>(gids.size())) count = static_cast<int>(gids.size()) * 2;
    if (count > 65536) return names;
    gids.resize(count);
  }
  gids.resize(count);
  for (gid_t g : gids) {
    std::string n = GroupNameOf(g);
    if (!n.empty()) names.push_back(n);
  }
  return names;
}

int AccessLevel(const char* user, const LevelSettings& settings) {
  uid_t uid;
  gid_t gid;
  if (!user || !*user || !LookupUser(user, &uid, &gid)) return kLevelNone;
  std::vector<std::string> groups = AccountGroups(user);
  if (InList(settings.adminGroups, groups)) return kLevelAdministrator;
  if (settings.allowDefaultOsAdmin) {
    if (uid == 0) return kLevelAdministrator;
    for (const std::string& g : groups)
      if (g == kOsAdminGroup) return kLevelAdministrator;
  }
  if (InList(settings.operatorGroups, groups)) return kLevelOperator;
  if (InList(settings.userGroups, groups)) return kLevelUser;
  return kLevelNone;
}
