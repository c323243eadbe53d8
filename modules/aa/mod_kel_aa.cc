// The login layer. It runs in front of every other module of the portal and
// is the only one that may set what kel_login.h describes: OS accounts
// through PAM (in a helper process that keeps root rights), sessions in a
// cookie, HTTP Basic for programmatic clients, local and anonymous access.
#include "httpd.h"
#include "apr_strings.h"
#include "apr_tables.h"
#include "http_config.h"
#include "http_core.h"
#include "http_log.h"
#include "http_protocol.h"
#include "http_request.h"
#include "kel_config.h"
#include "kel_login.h"
#include "kel_module.h"
#include "kel_request.h"
#include "kel_rootchild.h"


#include <chrono>
#include <exception>
#include <cstdlib>
#include <cstring>
#include <string>

#include "aa_authhelper.h"
#include "aa_levels.h"
#include "aa_origin.h"
#include "aa_pam.h"
#include "aa_session.h"
#include "kel_dirs.h"
#include "kel_files.h"

extern "C" {
extern module AP_MODULE_DECLARE_DATA kel_aa_module;
}
APLOG_USE_MODULE(kel_aa);

namespace {

constexpr const char* kCookieName = "QXKELSESSION";
constexpr const char* kLoginPage = "/drklogin.php";
constexpr const char* kLoginUri = "/proxy/kellogin";
constexpr const char* kLogoutUri = "/proxy/kellogout";
constexpr const char* kAnonymousUser = "anonymous";
constexpr apr_port_t kMainPort = 2381;
constexpr apr_off_t kMaxLoginBody = 8192;
// Left on a request once the login layer has looked at it; a refusal
// without it came before the login layer (the address rules).
constexpr const char* kNoteSeen = "kel_aa_seen";
// How many sessions one account may hold; its oldest makes room for more.
constexpr int kSessionsPerAccount = 8;
// The password helper's name in the process list.
constexpr const char* kHelperName = "kelauth";

// What works without a login: the login page and what it loads, the
// message page, and what legacy agents and management servers fetch
// without credentials.
struct PublicPath {
  const char* path;
  bool prefix;
};
constexpr PublicPath kPublicPaths[] = {
    {"/drklogin.php", false},           {"/drklogin.htm", false},         {"/login/", true},
    {"/proxy/kellogin", false},         {"/proxy/kelui/getlogininfo", false}, {"/message.php", false},
    {"/proxy/zqstatusreport", false},   {"/proxy/kelstatus", false},       {"/Proxy/Registration", false},
    {"/Proxy/Reconnect", false},        {"/favicon.ico", false},
    // What the login and message pages load: the shared style and script,
    // the message page's script, the login picture.
    {"/kel.css", false},                {"/kel.js", false},                {"/message.js", false},
    {"/custom.jpg", false},
};

std::string g_helperSocket;

bool IsPublic(const char* uri) {
  for (const PublicPath& p : kPublicPaths) {
    size_t n = strlen(p.path);
    if (p.prefix ? strncasecmp(uri, p.path, n) == 0 : strcasecmp(uri, p.path) == 0) return true;
  }
  return false;
}

bool OnMainPort(const request_rec* r) { return r->connection->local_addr->port == kMainPort; }

std::string Setting(request_rec* r, const char* name) {
  char* v = GetKELInternalCfgValue(r->pool, r->server, name);
  return v ? v : "";
}

bool BooleanSetting(request_rec* r, const char* name, bool fallback) {
  char* v = GetKELInternalCfgValue(r->pool, r->server, name);
  if (!v) return fallback;
  int32_t n;
  memcpy(&n, v, sizeof n);
  return n == 1;
}

std::chrono::milliseconds Minute() {
  // Tests make a minute short; nothing else may.
  long minuteMs = 60000;
  if (const char* test = getenv("KELSVC_TEST_MINUTE_MS")) minuteMs = atol(test) > 0 ? atol(test) : minuteMs;
  return std::chrono::milliseconds(minuteMs);
}

std::chrono::milliseconds IdleLimit(request_rec* r) {
  long minutes = atol(Setting(r, "session-timeout").c_str());
  if (minutes <= 0) minutes = 15;
  return minutes * Minute();
}

std::string SessionRoot() { return BaseDirPath("session"); }

LevelSettings LevelsFor(request_rec* r) {
  LevelSettings s;
  s.adminGroups = Setting(r, "admin-group");
  s.operatorGroups = Setting(r, "operator-group");
  s.userGroups = Setting(r, "user-group");
  s.allowDefaultOsAdmin = BooleanSetting(r, "allow-default-os-admin", true);
  return s;
}

// A name as it may go into a log line: a client chose it.
const char* Loggable(request_rec* r, const std::string& text) {
  return text.empty() ? "(none)" : ap_escape_logitem(r->pool, text.c_str());
}

void LogRefusal(request_rec* r, const std::string& user, const char* why) {
  LogOutput(1, "kel_aa: the login of %s from %s was refused: %s.", Loggable(r, user), r->useragent_ip, why);
}

// Asks the helper; logs what an administrator needs to find.
int SignIn(request_rec* r, LoginRequest& q) {
  q.address = r->useragent_ip ? r->useragent_ip : "";
  LoginAnswer a = AskAuthHelper(g_helperSocket, q);
  std::fill(q.password.begin(), q.password.end(), '\0');
  if (!a.reached) {
    LogOutput(2, "kel_aa: the password helper could not be asked (%s); the login of %s from %s was refused.",
              strerror(errno), Loggable(r, q.user), r->useragent_ip);
    return kLevelNone;
  }
  if (a.level == kLevelNone) LogRefusal(r, q.user, LoginRefusalText(a.reason));
  return a.level;
}

void SetIdentity(request_rec* r, const std::string& user, int level, const std::string& sessionDir) {
  apr_table_set(r->notes, KEL_NOTE_AUTH_LEVEL, apr_itoa(r->pool, level));
  apr_table_set(r->notes, KEL_NOTE_USER_NAME, user.c_str());
  if (!sessionDir.empty()) apr_table_set(r->headers_in, KEL_HEADER_SESSION_DIR, sessionDir.c_str());
}

void CopyIdentity(request_rec* from, request_rec* to) {
  for (const char* note : {KEL_NOTE_AUTH_LEVEL, KEL_NOTE_USER_NAME})
    if (const char* v = apr_table_get(from->notes, note)) apr_table_set(to->notes, note, v);
  if (const char* dir = apr_table_get(from->headers_in, KEL_HEADER_SESSION_DIR))
    apr_table_set(to->headers_in, KEL_HEADER_SESSION_DIR, dir);
  else
    apr_table_unset(to->headers_in, KEL_HEADER_SESSION_DIR);
}

std::string CookieValue(request_rec* r) {
  return SessionCookieValue(apr_table_get(r->headers_in, "Cookie"), kCookieName);
}

// The user and password of HTTP Basic credentials; false without them.
bool BasicCredentials(request_rec* r, std::string* user, std::string* password) {
  const char* auth = apr_table_get(r->headers_in, "Authorization");
  if (!auth || strncasecmp(auth, "Basic ", 6) != 0) return false;
  char* decoded = ap_pbase64decode(r->pool, auth + 6);
  char* colon = decoded ? strchr(decoded, ':') : nullptr;
  if (colon) {
    *user = std::string(decoded, colon);
    *password = colon + 1;
    std::fill(colon + 1, colon + 1 + strlen(colon + 1), '\0');
  } else {
    *user = decoded ? decoded : "";
  }
  return true;
}

// HTTP Basic for programmatic clients; only over TLS.
enum class Basic { kAbsent, kRefused, kAccepted };
Basic CheckBasic(request_rec* r, std::string* user, int* level) {
  LoginRequest q;
  if (!BasicCredentials(r, &q.user, &q.password)) return Basic::kAbsent;
  if (!OnMainPort(r) || !BooleanSetting(r, "allow-old-style-login", true)) {
    std::fill(q.password.begin(), q.password.end(), '\0');
    LogRefusal(r, q.user, OnMainPort(r) ? "HTTP Basic logins are switched off" : "no password over plain HTTP");
    return Basic::kRefused;
  }
  q.levels = LevelsFor(r);
  // Administrators may be kept from logging in by program; the helper
  // refuses them as it refuses a wrong password.
  q.refuseAdministrator = BooleanSetting(r, "reject-prog-admin-login", true);
  int l = SignIn(r, q);
  if (l == kLevelNone) return Basic::kRefused;
  *user = q.user;
  *level = l;
  return Basic::kAccepted;
}

bool LocalAccess(request_rec* r) {
  if (!BooleanSetting(r, "localaccess-enabled", false)) return false;
  if (!r->useragent_ip || strcmp(r->useragent_ip, "127.0.0.1") != 0) return false;
  bool admin = strcasecmp(Setting(r, "localaccess-type").c_str(), "Administrator") == 0;
  SetIdentity(r, admin ? KEL_LOCAL_ADMINISTRATOR : KEL_LOCAL_ANONYMOUS, admin ? kLevelAdministrator : kLevelAnonymous,
              "");
  return true;
}

// A state-changing request that a browser sent from a page that is not the
// portal's own (the page's scheme, one of this host's names, the port the
// request reached). Compared with what the portal is, never with the
// client's Host header.
bool CrossSite(request_rec* r) {
  if (!ChangesState(r->method)) return false;
  RequestSource source;
  source.origin = apr_table_get(r->headers_in, "Origin");
  source.referer = apr_table_get(r->headers_in, "Referer");
  source.secFetchSite = apr_table_get(r->headers_in, "Sec-Fetch-Site");
  OwnOrigin own;
  own.scheme = ap_http_scheme(r);
  own.port = r->connection->local_addr->port;
  if (source.origin || source.referer || source.secFetchSite) own.names = LocalNames();
  if (JudgeSource(source, own) != SourceVerdict::kCrossSite) return false;
  LogOutput(1, "%s: a cross-site %s to %s was refused (Origin: %s, Referer: %s, Sec-Fetch-Site: %s).",
            KelLogContext(r, "kel_aa").c_str(), r->method, r->uri, source.origin ? source.origin : "-",
            source.referer ? source.referer : "-", source.secFetchSite ? source.secFetchSite : "-");
  return true;
}

// A page of the portal to return to after the login: a path of this origin
// only (never "//host" or a scheme), without control characters.
bool ReturnPath(const std::string& next) {
  if (next.size() < 2 || next[0] != '/' || next[1] == '/' || next[1] == '\\') return false;
  for (unsigned char c : next)
    if (c < 0x21 || c == 0x7f || c == '\\') return false;
  return true;
}

// "?next=<path>" of the login page, or "".
std::string NextQuery(request_rec* r, const std::string& next, const char* joiner) {
  if (!ReturnPath(next)) return "";
  return std::string(joiner) + "next=" + ap_escape_urlencoded(r->pool, next.c_str());
}

// The session of the request's cookie, its level derived anew from the
// account's groups when a minute has passed since the last time.
bool SessionOf(request_rec* r, Session* session) {
  std::string id = CookieValue(r);
  if (id.empty()) return false;
  SessionStore store(SessionRoot());
  if (!OnMainPort(r)) {
    // The cookie has crossed the network in clear text: whoever saw it
    // could use it, so the session ends here too.
    store.Remove(id);
    LogOutput(1, "%s: a session cookie sent on the plain-HTTP port was refused and its session ended.",
              KelLogContext(r, "kel_aa").c_str());
    return false;
  }
  if (!store.Find(id, IdleLimit(r), session)) return false;
  int before = session->level;
  // The group settings are read only when the level is due to be derived.
  auto levelOf = [r](const std::string& user) { return AccessLevel(user.c_str(), LevelsFor(r)); };
  switch (store.Recheck(session, Minute(), levelOf)) {
    case LevelRecheck::kEnded:
      LogOutput(1, "kel_aa: the session of %s from %s was ended: the account has no portal level any more.",
                Loggable(r, session->user), r->useragent_ip);
      return false;
    case LevelRecheck::kChanged:
      LogOutput(0, "kel_aa: the level of the session of %s changed from %d to %d.", Loggable(r, session->user), before,
                session->level);
      break;
    case LevelRecheck::kFailed:
      LogOutput(2, "kel_aa: the session store could not record the level of the session of %s (%s).",
                Loggable(r, session->user), strerror(errno));
      break;
    default:
      break;
  }
  return true;
}

int Identify(request_rec* r) {
  // Sub-requests and internal redirects carry what their request was given.
  if (r->main || r->prev) {
    CopyIdentity(r->main ? r->main : r->prev, r);
    return DECLINED;
  }
  apr_table_setn(r->notes, kNoteSeen, "1");
  if (OnMainPort(r)) {
    apr_table_setn(r->err_headers_out, "X-Frame-Options", "SAMEORIGIN");
    apr_table_setn(r->err_headers_out, "X-Content-Type-Options", "nosniff");
    // Browsers then send a real Origin on the portal's own form posts, which
    // the cross-site check needs ("no-referrer" makes it "null").
    apr_table_setn(r->err_headers_out, "Referrer-Policy", "same-origin");
    apr_table_setn(r->err_headers_out, "Strict-Transport-Security", "max-age=31536000");
  }
  if (CrossSite(r)) return HTTP_FORBIDDEN;

  if (LocalAccess(r)) return DECLINED;
  Session session;
  if (SessionOf(r, &session)) {
    SetIdentity(r, session.user, session.level, session.dir);
    return DECLINED;
  }
  std::string user;
  int level = 0;
  Basic basic = CheckBasic(r, &user, &level);
  if (basic == Basic::kAccepted) {
    SetIdentity(r, user, level, "");
    return DECLINED;
  }
  if (basic == Basic::kAbsent && BooleanSetting(r, "anonymous-access", false)) {
    SetIdentity(r, kAnonymousUser, kLevelAnonymous, "");
    return DECLINED;
  }
  if (IsPublic(r->uri)) return DECLINED;
  // A programmatic client (it sent credentials, or does not fetch a page)
  // is answered 401; a browser goes to the login page.
  bool page = basic == Basic::kAbsent && (r->method_number == M_GET) &&
              !apr_table_get(r->headers_in, "Authorization");
  if (!page) {
    apr_table_setn(r->err_headers_out, "WWW-Authenticate", "Basic realm=\"QX Kel Portal\"");
    return HTTP_UNAUTHORIZED;
  }
  // The login page is on the HTTPS port only; there it returns to the page
  // that was asked for.
  std::string asked = r->unparsed_uri && strcmp(r->unparsed_uri, "/") != 0 ? r->unparsed_uri : "";
  const char* where = OnMainPort(r) ? apr_pstrcat(r->pool, kLoginPage, NextQuery(r, asked, "?").c_str(), nullptr)
                                    : apr_pstrcat(r->pool, "https://", ap_get_server_name(r), ":2381", kLoginPage,
                                                  nullptr);
  apr_table_setn(r->err_headers_out, "Location", where);
  return HTTP_MOVED_TEMPORARILY;
}

int StripClientIdentity(request_rec* r) {
  // A client must never be able to name a session directory of its own.
  apr_table_unset(r->headers_in, KEL_HEADER_SESSION_DIR);
  return DECLINED;
}

// The form's user and password (and the page to return to); the body is
// wiped.
bool ReadLoginForm(request_rec* r, std::string* user, std::string* password, std::string* next = nullptr) {
  std::string body;
  bool ok = KelReadBody(r, kMaxLoginBody, &body) == KelBody::kRead;
  if (ok) {
    *user = KelFormField(body, "user");
    if (password) *password = KelFormField(body, "password");
    if (next) *next = KelFormField(body, "next");
  }
  std::fill(body.begin(), body.end(), '\0');
  return ok;
}

int Redirect(request_rec* r, const char* where) { return KelRedirect(r, where, HTTP_SEE_OTHER); }

void SetCookie(request_rec* r, const std::string& value, bool expire) {
  std::string cookie = std::string(kCookieName) + "=" + value + "; Path=/; Secure; HttpOnly; SameSite=Strict";
  if (expire) cookie += "; Max-Age=0";
  apr_table_add(r->err_headers_out, "Set-Cookie", apr_pstrdup(r->pool, cookie.c_str()));
}

int Login(request_rec* r) {
  if (r->method_number != M_POST) return HTTP_METHOD_NOT_ALLOWED;
  if (!OnMainPort(r)) {
    LogRefusal(r, "", "no password over plain HTTP");
    return HTTP_FORBIDDEN;
  }
  LoginRequest q;
  std::string next;
  if (!ReadLoginForm(r, &q.user, &q.password, &next)) return HTTP_BAD_REQUEST;
  q.levels = LevelsFor(r);
  int level = SignIn(r, q);
  if (level == kLevelNone)
    return Redirect(r, apr_pstrcat(r->pool, "/drklogin.php?error=1", NextQuery(r, next, "&").c_str(), nullptr));

  SessionLimits limits;
  limits.idle = IdleLimit(r);
  int maximum = atoi(Setting(r, "session-maximum").c_str());
  limits.maximum = maximum > 0 ? maximum : 128;
  limits.perAccount = kSessionsPerAccount;
  Session session;
  std::vector<Session> ended;
  SessionAdmission admission = SessionStore(SessionRoot()).Create(q.user, level, limits, &session, &ended);
  for (const Session& e : ended)
    LogOutput(0, "kel_aa: the least recently used session of %s (level %d) was ended to make room for the login of %s "
              "from %s.", Loggable(r, e.user), e.level, Loggable(r, q.user), r->useragent_ip);
  if (admission == SessionAdmission::kFull) {
    LogRefusal(r, q.user, apr_psprintf(r->pool, "session-maximum (%d) sessions are open", limits.maximum));
    return Redirect(r, "/drklogin.php?error=2");
  }
  if (admission == SessionAdmission::kFailed) {
    LogOutput(2, "kel_aa: the session store could not open a session for %s from %s (%s).", Loggable(r, q.user),
              r->useragent_ip, strerror(errno));
    return Redirect(r, "/drklogin.php?error=2");
  }
  SetCookie(r, session.id, false);
  return Redirect(r, ReturnPath(next) ? apr_pstrdup(r->pool, next.c_str()) : "/");
}

int Logout(request_rec* r) {
  // A link on another site must not end a session: only a form post does.
  if (r->method_number != M_POST) {
    ap_allow_methods(r, 1, "POST", nullptr);
    return HTTP_METHOD_NOT_ALLOWED;
  }
  ap_discard_request_body(r);
  std::string id = CookieValue(r);
  if (!id.empty()) SessionStore(SessionRoot()).Remove(id);
  SetCookie(r, "", true);
  return Redirect(r, kLoginPage);
}

// A login attempt that the address rules refused before the login layer
// saw it: it is answered as a refused password would be, at the same time
// and counted alike, but no password is checked (or even sent).
void RefusedBeforeLogin(request_rec* r) {
  if (r->main || r->prev || r->status != HTTP_FORBIDDEN || apr_table_get(r->notes, kNoteSeen)) return;
  LoginRequest q;
  std::string password;
  bool attempt = BasicCredentials(r, &q.user, &password);
  if (!attempt && r->method_number == M_POST && r->uri && strcasecmp(r->uri, kLoginUri) == 0) {
    attempt = true;
    ReadLoginForm(r, &q.user, nullptr);
  }
  std::fill(password.begin(), password.end(), '\0');
  if (!attempt) return;
  apr_table_setn(r->notes, kNoteSeen, "1");
  q.addressRefused = true;
  SignIn(r, q);
}

// Every hook crosses the C boundary: nothing may escape it, and a failure
// is logged before its result (never "granted") is returned.
template <typename Fn>
auto Guarded(const char* what, request_rec* r, int onFailure, Fn fn) -> int {
  try {
    return fn();
  } catch (...) {
    KelCaught(r, "kel_aa");
    LogOutput(2, "%s: %s of %s failed.", KelLogContext(r, "kel_aa").c_str(), what, r->uri);
  }
  return onFailure;
}

int Handler(request_rec* r) {
  return Guarded("the handler", r, HTTP_INTERNAL_SERVER_ERROR, [r]() {
    if (r->main || !r->uri) return static_cast<int>(DECLINED);
    if (strcasecmp(r->uri, kLoginUri) == 0) return Login(r);
    if (strcasecmp(r->uri, kLogoutUri) == 0) return Logout(r);
    return static_cast<int>(DECLINED);  // nothing in the configuration names kel_aa_handler yet
  });
}

int IdentifyEntry(request_rec* r) {
  return Guarded("the login check", r, HTTP_INTERNAL_SERVER_ERROR, [r]() { return Identify(r); });
}

int StripEntry(request_rec* r) {
  return Guarded("reading the request", r, HTTP_INTERNAL_SERVER_ERROR, [r]() { return StripClientIdentity(r); });
}

void RefusedBeforeLoginEntry(request_rec* r) {
  Guarded("a refused login", r, 0, [r]() {
    RefusedBeforeLogin(r);
    return 0;
  });
}

// The password helper keeps root rights (PAM reads password hashes) and
// answers the workers on a socket that only the qxkel group can use.
void ServePasswords(int fd, void*) {
  LoginGate gate{LoginGate::Limits{}};
  ServeAuthRequests(fd, kPamService, gate);
}

int StartHelper(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*, server_rec* s) {
  if (ap_state_query(AP_SQ_MAIN_STATE) == AP_SQ_MS_CREATE_PRE_CONFIG) return OK;
  g_helperSocket = SessionRoot() + "/kelauth.sock";
  KelRootHelper helper{APLOG_MODULE_INDEX, "kel_aa", "the password helper", kHelperName, "every login is refused",
                        g_helperSocket.c_str(), ServePasswords, nullptr};
  KelStartRootChild(pconf, s, helper);  // without it every login is refused, and logged
  return OK;
}

int StartHelperEntry(apr_pool_t* pconf, apr_pool_t* plog, apr_pool_t* ptemp, server_rec* s) {
  try {
    return StartHelper(pconf, plog, ptemp, s);
  } catch (const std::exception& e) {
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, s, "kel_aa: starting the password helper failed: %s", e.what());
  } catch (...) {
    ap_log_error(APLOG_MARK, APLOG_ERR, 0, s, "kel_aa: starting the password helper failed");
  }
  LogOutput(2, "kel_aa: the password helper could not be started; every login is refused.");
  return OK;  // the portal still serves what needs no login
}

void RegisterHooks(apr_pool_t* pool) {
  // Before any other module looks at the request's headers.
  ap_hook_post_read_request(StripEntry, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
  ap_hook_post_config(StartHelperEntry, nullptr, nullptr, APR_HOOK_MIDDLE);
  // After the address rules (mod_access_compat's "allow from"/"deny from"):
  // an address they refuse never reaches a password check. Access
  // checkers run for every request, before fixups and handlers.
  static const char* const kAfterAddressRules[] = {"mod_access_compat.c", nullptr};
  ap_hook_access_checker(IdentifyEntry, kAfterAddressRules, nullptr, APR_HOOK_MIDDLE);
  // A login attempt the address rules refused is answered as a refusal.
  ap_hook_insert_error_filter(RefusedBeforeLoginEntry, nullptr, nullptr, APR_HOOK_MIDDLE);
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
}

}  // namespace

extern "C" {
KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_aa_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, RegisterHooks, AP_MODULE_FLAG_NONE,
};
}
