#include "aa_levels.h"

#include <grp.h>
#include <pwd.h>
#include <strings.h>
#include <unistd.h>

#include <apr_strings.h>

#include <cerrno>
#include <cstring>

#include "kel_host.h"
#include "kel_text.h"

namespace {

bool LookupUser(const char* user, uid_t* uid, gid_t* gid) {
  std::vector<char> buf(4096);
  for (;;) {
    struct passwd pw, *found = nullptr;
    int rc = getpwnam_r(user, &pw, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || !found) return false;
    *uid = pw.pw_uid;
    *gid = pw.pw_gid;
    return true;
  }
}

std::string GroupName(gid_t gid) {
  std::vector<char> buf(4096);
  for (;;) {
    struct group gr, *found = nullptr;
    int rc = getgrgid_r(gid, &gr, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    return rc == 0 && found ? found->gr_name : "";
  }
}

// A settings entry names the group when it is the group's name, alone or
// after this host's name or "BUILTIN" and a backslash.
bool Names(const std::string& entry, const std::string& group) {
  std::string name = entry;
  size_t slash = entry.find('\\');
  if (slash != std::string::npos) {
    std::string domain = entry.substr(0, slash);
    char host[256] = "";
    GetLocalHostName(host, sizeof host);
    if (strcasecmp(domain.c_str(), "BUILTIN") != 0 && strcasecmp(domain.c_str(), host) != 0) return false;
    name = entry.substr(slash + 1);
  }
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
    std::string n = GroupName(g);
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
