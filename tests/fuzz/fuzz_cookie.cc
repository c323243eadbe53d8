// The session cookie on any bytes: the value picked from a Cookie header
// and the session store's lookup of it (a scratch store holding one live
// session); only a well-formed identifier may reach the file system.
#include <chrono>
#include <cstdlib>

#include "aa_session.h"
#include "fuzz_env.h"

namespace {

SessionStore& Store() {
  static SessionStore store(kelfuzz::Base() + "/session");
  return store;
}

const Session& Live() {
  static Session live = [] {
    Session s;
    std::vector<Session> ended;
    if (Store().Create("alice", 4, SessionLimits(), &s, &ended) != SessionAdmission::kCreated) abort();
    return s;
  }();
  return live;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string header = kelfuzz::Text(data, size);
  const Session& live = Live();
  std::string id = SessionCookieValue(header.c_str(), "QXKELSESSION");
  Session found;
  bool known = Store().Find(id, std::chrono::hours(1), &found);
  if (known != (id == live.id)) abort();
  if (known && found.user != "alice") abort();
  if (!SessionStore::WellFormedId(id) && known) abort();
  if (id != live.id) Store().Remove(id);  // the live session stays
  return 0;
}
