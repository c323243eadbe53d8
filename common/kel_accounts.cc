#include "kel_accounts.h"

#include <grp.h>
#include <pwd.h>
#include <strings.h>

#include <cerrno>
#include <vector>

#include "kel_host.h"

namespace {

// Calls a getXXX_r function with a buffer that grows while it is too small.
template <typename Entry, typename Call>
bool Lookup(Entry* entry, Call call) {
  std::vector<char> buf(4096);
  for (;;) {
    Entry* found = nullptr;
    int rc = call(entry, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    return rc == 0 && found;
  }
}

}  // namespace

bool LookupUser(const char* user, uid_t* uid, gid_t* gid) {
  struct passwd pw;
  if (!user || !Lookup(&pw, [user](passwd* e, char* b, size_t n, passwd** f) { return getpwnam_r(user, e, b, n, f); }))
    return false;
  *uid = pw.pw_uid;
  *gid = pw.pw_gid;
  return true;
}

bool LookupGroup(const char* name, gid_t* gid) {
  struct group gr;
  if (!name || !Lookup(&gr, [name](group* e, char* b, size_t n, group** f) { return getgrnam_r(name, e, b, n, f); }))
    return false;
  *gid = gr.gr_gid;
  return true;
}

std::string GroupNameOf(gid_t gid) {
  struct group gr;
  std::string name;
  // The name lives in the lookup's buffer: copy it while it is there.
  Lookup(&gr, [gid, &name](group* e, char* b, size_t n, group** f) {
    int rc = getgrgid_r(gid, e, b, n, f);
    if (rc == 0 && *f) name = (*f)->gr_name;
    return rc;
  });
  return name;
}

std::string LocalAccountName(const std::string& qualified) {
  size_t slash = qualified.find('\\');
  if (slash == std::string::npos) return qualified;
  std::string domain = qualified.substr(0, slash);
  char host[256] = "";
  bool haveHost = GetLocalHostName(host, sizeof host) == 0;
  if (strcasecmp(domain.c_str(), "BUILTIN") != 0 && !(haveHost && strcasecmp(domain.c_str(), host) == 0)) return "";
  return qualified.substr(slash + 1);
}
