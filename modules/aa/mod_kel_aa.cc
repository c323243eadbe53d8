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
#include "ap_mpm.h"
#include "kel_config.h"
#include "kel_login.h"
#include "kel_module.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "aa_authhelper.h"
#include "aa_levels.h"
#include "aa_pam.h"
#include "aa_session.h"
#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_unixsock.h"

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
};

std::string g_helperSocket;
pid_t g_helper = 0;
pid_t g_helperParent = 0;

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

std::chrono::milliseconds IdleLimit(request_rec* r) {
  long minutes = atol(Setting(r, "session-timeout").c_str());
  if (minutes <= 0) minutes = 15;
  // Tests make a minute short; nothing else may.
  long minuteMs = 60000;
  if (const char* test = getenv("KELSVC_TEST_MINUTE_MS")) minuteMs = atol(test) > 0 ? atol(test) : minuteMs;
  return std::chrono::milliseconds(minutes * minuteMs);
}

std::string SessionRoot() {
  char base[kKelPathMax];
  GetBaseDir(base, sizeof base);
  return std::string(base) + "/session";
}

LevelSettings LevelsFor(request_rec* r) {
  LevelSettings s;
  s.adminGroups = Setting(r, "admin-group");
  s.operatorGroups = Setting(r, "operator-group");
  s.userGroups = Setting(r, "user-group");
  s.allowDefaultOsAdmin = BooleanSetting(r, "allow-default-os-admin", true);
  return s;
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
  const char* header = apr_table_get(r->headers_in, "Cookie");
  if (!header) return "";
  std::string cookies = header;
  std::string key = std::string(kCookieName) + "=";
  size_t at = 0;
  while ((at = cookies.find(key, at)) != std::string::npos) {
    if (at == 0 || cookies[at - 1] == ' ' || cookies[at - 1] == ';') {
      size_t end = cookies.find(';', at);
      return cookies.substr(at + key.size(), end == std::string::npos ? std::string::npos : end - at - key.size());
    }
    at += key.size();
  }
  return "";
}

// HTTP Basic for programmatic clients; only over TLS.
enum class Basic { kAbsent, kRefused, kAccepted };
Basic CheckBasic(request_rec* r, std::string* user, int* level) {
  const char* auth = apr_table_get(r->headers_in, "Authorization");
  if (!auth || strncasecmp(auth, "Basic ", 6) != 0) return Basic::kAbsent;
  if (!OnMainPort(r) || !BooleanSetting(r, "allow-old-style-login", true)) return Basic::kRefused;
  char* decoded = ap_pbase64decode(r->pool, auth + 6);
  char* colon = decoded ? strchr(decoded, ':') : nullptr;
  if (!colon) return Basic::kRefused;
  *colon = '\0';
  if (!AskAuthHelper(g_helperSocket, r->useragent_ip, decoded, colon + 1)) return Basic::kRefused;
  int l = AccessLevel(decoded, LevelsFor(r));
  // Administrators may be kept from logging in by program.
  if (l == kLevelNone || (l == kLevelAdministrator && BooleanSetting(r, "reject-prog-admin-login", true)))
    return Basic::kRefused;
  *user = decoded;
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

bool CrossSitePost(request_rec* r) {
  if (r->method_number != M_POST) return false;
  const char* origin = apr_table_get(r->headers_in, "Origin");
  const char* host = apr_table_get(r->headers_in, "Host");
  if (!origin || !*origin) return false;
  const char* sep = strstr(origin, "://");
  std::string originHost = sep ? sep + 3 : "";
  return !host || strcasecmp(originHost.c_str(), host) != 0;
}

int Identify(request_rec* r) {
  // Sub-requests and internal redirects carry what their request was given.
  if (r->main || r->prev) {
    CopyIdentity(r->main ? r->main : r->prev, r);
    return DECLINED;
  }
  if (OnMainPort(r)) {
    apr_table_setn(r->err_headers_out, "X-Frame-Options", "SAMEORIGIN");
    apr_table_setn(r->err_headers_out, "X-Content-Type-Options", "nosniff");
    apr_table_setn(r->err_headers_out, "Referrer-Policy", "no-referrer");
  }
  if (CrossSitePost(r)) return HTTP_FORBIDDEN;

  if (LocalAccess(r)) return DECLINED;
  SessionStore store(SessionRoot());
  Session session;
  std::string id = CookieValue(r);
  if (!id.empty() && store.Find(id, IdleLimit(r), &session)) {
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
  // The login page is on the HTTPS port only.
  const char* where = OnMainPort(r) ? kLoginPage
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

std::string FormField(const std::string& body, const char* name) {
  std::string key = std::string(name) + "=";
  size_t start = 0;
  while (start <= body.size()) {
    size_t end = body.find('&', start);
    std::string pair = body.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (pair.compare(0, key.size(), key) == 0) {
      // "+" is a blank and an encoded "/" a slash, as forms send them.
      std::string out = pair.substr(key.size());
      if (ap_unescape_urlencoded(out.data()) != OK) return "";
      return out.c_str();
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return "";
}

bool ReadBody(request_rec* r, std::string* body) {
  if (ap_setup_client_block(r, REQUEST_CHUNKED_ERROR) != OK || !ap_should_client_block(r)) return false;
  char buf[1024];
  long n;
  while ((n = ap_get_client_block(r, buf, sizeof buf)) > 0) {
    body->append(buf, n);
    if (static_cast<apr_off_t>(body->size()) > kMaxLoginBody) return false;
  }
  return n == 0;
}

int Redirect(request_rec* r, const char* where) {
  apr_table_setn(r->err_headers_out, "Location", where);
  return HTTP_SEE_OTHER;
}

void SetCookie(request_rec* r, const std::string& value, bool expire) {
  std::string cookie = std::string(kCookieName) + "=" + value + "; Path=/; Secure; HttpOnly; SameSite=Strict";
  if (expire) cookie += "; Max-Age=0";
  apr_table_add(r->err_headers_out, "Set-Cookie", apr_pstrdup(r->pool, cookie.c_str()));
}

int Login(request_rec* r) {
  if (r->method_number != M_POST) return HTTP_METHOD_NOT_ALLOWED;
  if (!OnMainPort(r)) return HTTP_FORBIDDEN;  // no password over plain HTTP
  std::string body;
  if (!ReadBody(r, &body)) return HTTP_BAD_REQUEST;
  std::string user = FormField(body, "user");
  std::string password = FormField(body, "password");
  std::fill(body.begin(), body.end(), '\0');
  int level = kLevelNone;
  if (AskAuthHelper(g_helperSocket, r->useragent_ip, user.c_str(), password.c_str())) level = AccessLevel(user.c_str(), LevelsFor(r));
  std::fill(password.begin(), password.end(), '\0');
  if (level == kLevelNone) return Redirect(r, "/drklogin.php?error=1");
  SessionStore store(SessionRoot());
  Session session;
  int maximum = atoi(Setting(r, "session-maximum").c_str());
  if (!store.Create(user, level, IdleLimit(r), maximum > 0 ? maximum : 128, &session))
    return Redirect(r, "/drklogin.php?error=2");
  SetCookie(r, session.id, false);
  return Redirect(r, "/");
}

int Logout(request_rec* r) {
  std::string id = CookieValue(r);
  if (!id.empty()) SessionStore(SessionRoot()).Remove(id);
  SetCookie(r, "", true);
  return Redirect(r, kLoginPage);
}

int Handler(request_rec* r) {
  try {
    if (r->main || !r->uri) return DECLINED;
    if (strcasecmp(r->uri, kLoginUri) == 0) return Login(r);
    if (strcasecmp(r->uri, kLogoutUri) == 0) return Logout(r);
    return DECLINED;  // nothing in the configuration names kel_aa_handler yet
  } catch (...) {
    return HTTP_INTERNAL_SERVER_ERROR;
  }
}

int IdentifyEntry(request_rec* r) {
  try {
    return Identify(r);
  } catch (...) {
    return HTTP_INTERNAL_SERVER_ERROR;  // never "granted" on a failure
  }
}

// Bounded: a helper that ignores SIGTERM must not hold the parent's
// restart (and with it every worker) in waitpid for ever.
constexpr auto kHelperStopGrace = std::chrono::seconds(3);

apr_status_t StopHelper(void*) {
  if (g_helper > 0 && getpid() == g_helperParent) {
    kill(g_helper, SIGTERM);
    auto deadline = std::chrono::steady_clock::now() + kHelperStopGrace;
    pid_t done;
    while ((done = waitpid(g_helper, nullptr, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
      usleep(10000);
    if (done == 0) {
      kill(g_helper, SIGKILL);
      waitpid(g_helper, nullptr, 0);
    }
    g_helper = 0;
  }
  return APR_SUCCESS;
}

// The password helper: forked from the root parent, it keeps root rights
// and answers the workers on a socket that only the qxkel group can use.
int StartHelper(apr_pool_t* pconf, apr_pool_t*, apr_pool_t*, server_rec* s) {
  if (ap_state_query(AP_SQ_MAIN_STATE) == AP_SQ_MS_CREATE_PRE_CONFIG) return OK;
  g_helperSocket = SessionRoot() + "/kelauth.sock";
  int fd = ListenUnixSocket(g_helperSocket, 0660, 64);
  if (fd < 0) {
    ap_log_error(APLOG_MARK, APLOG_ERR, errno, s, "kel_aa: the login helper's socket %s cannot be made",
                 g_helperSocket.c_str());
    return OK;  // every login is refused then
  }
  // Signals stay blocked from the fork until the child has dropped the
  // parent's handlers: a SIGTERM that reached the child earlier ran the web
  // server's own handler, the helper lived on, and the next restart waited
  // for it for ever.
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  pid_t pid = fork();
  if (pid == 0) {
    for (int sig : {SIGTERM, SIGHUP, SIGUSR1, SIGINT, SIGPIPE}) signal(sig, sig == SIGPIPE ? SIG_IGN : SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    // Nothing of the web server's: no listeners, no logs.
    if (fd != 3) {
      dup2(fd, 3);
      close(fd);
    }
    for (int i = 4; i < 1024; ++i) close(i);
    ServeAuthRequests(3, kPamService);
    _exit(0);
  }
  sigprocmask(SIG_SETMASK, &old, nullptr);
  close(fd);
  if (pid > 0) {
    g_helper = pid;
    g_helperParent = getpid();
    apr_pool_cleanup_register(pconf, nullptr, StopHelper, apr_pool_cleanup_null);
  }
  return OK;
}

void RegisterHooks(apr_pool_t* pool) {
  // Before any other module looks at the request's headers.
  ap_hook_post_read_request(StripClientIdentity, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
  ap_hook_post_config(StartHelper, nullptr, nullptr, APR_HOOK_MIDDLE);
  // Access checkers run for every request, before fixups and handlers.
  ap_hook_access_checker(IdentifyEntry, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
  ap_hook_handler(Handler, nullptr, nullptr, APR_HOOK_REALLY_FIRST);
}

}  // namespace

extern "C" {
KEL_EXPORT module AP_MODULE_DECLARE_DATA kel_aa_module = {
    STANDARD20_MODULE_STUFF, nullptr, nullptr, nullptr, nullptr, nullptr, RegisterHooks, AP_MODULE_FLAG_NONE,
};
}
