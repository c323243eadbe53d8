// The configuration template and its generator. The template keeps the
// original sections, order and texts; a back-quote stands for a double
// quote. Lines marked "Apache 2.4" are the changes this web server needs.
#include <cstdio>
#include <string>
#include <vector>

#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_host.h"
#include "kel_svcctl.h"
#include "svc_config.h"
#include "svc_log.h"
#include "svc_settings.h"

#ifndef KEL_HTTPD_MODULES_DIR
#define KEL_HTTPD_MODULES_DIR "/usr/lib/apache2/modules"
#endif
// Apache 2.4: Debian keeps the standard modules outside the server root.
#define STD_MODULE(name, file) "LoadModule " name " " KEL_HTTPD_MODULES_DIR "/" file

namespace {

// Apache 2.4: no MPM is built in; it must load before the worker block, or
// the block is skipped.
constexpr const char* kLoadWorkerMpm = STD_MODULE("mpm_worker_module", "mod_mpm_worker.so");
// Apache 2.4: without it ThreadsPerChild is cut to 64; the top of the
// max-threads range, since it cannot change on a graceful restart.
constexpr const char* kThreadLimit = "ThreadLimit 512";
// Apache 2.4: there is no /var/run/apache2 for this server, and no global
// name. The root parent makes its runtime files (the CGI daemon's socket) in
// the service's run directory, where the workers cannot plant links.
constexpr const char* kRuntimeDir = "DefaultRuntimeDir `KELRunDir`";
// The root parent writes its pid file where only root writes: in logs/ the
// workers could replace it with a link to any file.
constexpr const char* kPidFile = "PidFile `KELRunDir/httpd.pid`";
constexpr const char* kGlobalServerName = "ServerName 127.0.0.1";
// Files are read, not mapped: in the one child's shared address space every
// map and unmap of a served file stalls all 250 threads (served twice as
// fast without), and a file cut short while mapped kills the child.
constexpr const char* kEnableMmapOff = "EnableMMAP Off";
// Apache 2.4: MaxClients and MaxRequestsPerChild are deprecated names.
constexpr const char* kMaxWorkers = "MaxRequestWorkers   MaxThreads?";
constexpr const char* kMaxConnections = "MaxConnectionsPerChild  0";
// Apache 2.4: with one child, idle threads below MinSpareThreads log an error
// on every busy second once it equals the thread count; only an exhausted
// server should say so.
constexpr const char* kMinSpareThreads = "MinSpareThreads       1";
// Apache 2.4: mod_access became these three; without authz_core every
// request fails with 500.
constexpr const char* kAuthzCore = STD_MODULE("authz_core_module", "mod_authz_core.so");
constexpr const char* kAuthzHost = STD_MODULE("authz_host_module", "mod_authz_host.so");
constexpr const char* kAccessCompat = STD_MODULE("access_compat_module", "mod_access_compat.so");
// Apache 2.4: mod_cgi is discouraged under a threaded MPM; mod_imap was renamed.
constexpr const char* kCgid = STD_MODULE("cgid_module", "mod_cgid.so");
constexpr const char* kImagemap = STD_MODULE("imagemap_module", "mod_imagemap.so");
// Apache 2.4: the shared-memory session cache is its own module, before ssl.
constexpr const char* kSocacheShmcb = STD_MODULE("socache_shmcb_module", "mod_socache_shmcb.so");
// Apache 2.4: the type and magic files live in the system's places.
constexpr const char* kTypesConfig = "TypesConfig /etc/mime.types";
constexpr const char* kMimeMagicFile = "    MIMEMagicFile /etc/apache2/magic";
// Apache 2.4 on Debian: PHP runs as php-cgi under mod_fcgid, and only where
// both are installed; without them .php pages are plain HTML.
constexpr const char* kLoadPhp =
    "<IfFile /usr/bin/php-cgi>\n<IfFile " KEL_HTTPD_MODULES_DIR "/mod_fcgid.so>\n" STD_MODULE(
        "fcgid_module", "mod_fcgid.so") "\n</IfFile>\n</IfFile>";
constexpr const char* kPhpIniDir = "<IfModule fcgid_module>\nFcgidInitialEnv PHPRC `KELBaseDir/bin`\n</IfModule>";
constexpr const char* kPhpType =
    "<IfModule fcgid_module>\nAddType application/x-httpd-php .php\nAddHandler fcgid-script .php\n"
    "FcgidWrapper /usr/bin/php-cgi .php\n</IfModule>\n<IfModule !fcgid_module>\nAddType text/html .php\n</IfModule>";
// Apache 2.4 with OpenSSL 3: SSLv2 and SSLv3 are gone; TLS 1.2 and later.
constexpr const char* kSslProtocol = "SSLProtocol All SSLV2? -SSLv3 -TLSv1 -TLSv1.1";
// The "intermediate" profile: TLS 1.2 only with forward secrecy (ECDHE) and
// AEAD ciphers (AES-GCM, ChaCha20); TLS 1.3 keeps all of its suites.
constexpr const char* kSslCipherSuite =
    "SSLCipherSuite ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kSslv2Always = "-SSLv2";
// Apache 2.4: without PHP (plain HTML then) nothing reads a page's TLS
// variables, and making them costs every login page view.
constexpr const char* kStdEnvVarsFiles =
    "<IfModule fcgid_module>\n<Files ~ `\\.(qxq|exe|cgi|shtml|phtml|php3?)$`>\n    SSLOptions +StdEnvVars\n</Files>\n"
    "</IfModule>\n<IfModule !fcgid_module>\n<Files ~ `\\.(qxq|exe|cgi|shtml)$`>\n    SSLOptions +StdEnvVars\n"
    "</Files>\n</IfModule>";
// Left out for Apache 2.4: mod_log_config is built in; SSLMutex was
// removed; DefaultType only warns.

// Apache 2.4: a rewrite to an agent without a worker of its own opens a new
// backend connection per request; a worker per discovery port (the map's
// http://127.0.0.1:<port>) reuses them. A short ttl makes reconnect storms
// under load. At most 128 connections to one agent, half the worker
// threads: the rest wait for a free one instead of crowding the agent with
// hundreds at once. Fewer (32) made requests queue in the pool under load:
// the agent page's p99 was about 50 ms against about 40 ms with 128.
const char* AgentProxyWorkers() {
  static const std::string lines = [] {
    std::string text;
    for (int port = kVexoFirstPort; port <= kVexoLastPort; ++port)
      text += "<Proxy http://127.0.0.1:" + std::to_string(port) + ">\nProxySet ttl=60 max=128\n</Proxy>\n";
    return text;
  }();
  return lines.c_str();
}

const std::vector<const char*> kGlobalSection = {
    "#",
    "ServerRoot `KELBaseDir`",
    kPidFile,
    "Timeout 300",
    "KeepAlive On",
    "MaxKeepAliveRequests 100",
    "KeepAliveTimeout 15",
    kEnableMmapOff,
    kRuntimeDir,
    kGlobalServerName,
    kLoadWorkerMpm,
    "<IfModule worker.c>",
    "StartServers         1",
    kMaxWorkers,
    kMinSpareThreads,
    "MaxSpareThreads     MaxThreads?",
    kThreadLimit,
    "ThreadsPerChild     MaxThreads?",
    "ServerLimit          1",
    kMaxConnections,
    "</IfModule>",
    "<IfModule perchild.c>",
    "NumServers           5",
    "StartThreads         5",
    "MinSpareThreads      5",
    "MaxSpareThreads     10",
    "MaxThreadsPerChild  20",
    "MaxRequestsPerChild  0",
    "</IfModule>",
    "<IfModule mpm_winnt.c>",
    "ThreadsPerChild MaxThreads?",
    "MaxRequestsPerChild  0",
    "Win32DisableAcceptEx?",
    "</IfModule>",
    kAuthzCore,
    kAuthzHost,
    kAccessCompat,
    STD_MODULE("actions_module", "mod_actions.so"),
    STD_MODULE("alias_module", "mod_alias.so"),
    kCgid,
    STD_MODULE("dir_module", "mod_dir.so"),
    STD_MODULE("env_module", "mod_env.so"),
    kImagemap,
    STD_MODULE("mime_module", "mod_mime.so"),
    STD_MODULE("proxy_module", "mod_proxy.so"),
    STD_MODULE("proxy_connect_module", "mod_proxy_connect.so"),
    STD_MODULE("proxy_http_module", "mod_proxy_http.so"),
    STD_MODULE("negotiation_module", "mod_negotiation.so"),
    STD_MODULE("rewrite_module", "mod_rewrite.so"),
    STD_MODULE("setenvif_module", "mod_setenvif.so"),
    STD_MODULE("headers_module", "mod_headers.so"),
    kSocacheShmcb,
    STD_MODULE("ssl_module", "mod_ssl.so"),
    "LoadModule kel_aa_module modules/mod_kel_aa.so",
    "LoadModule kel_config_module modules/mod_kel_config.so",
    "LoadModule kel_ui_module modules/mod_kel_ui.so",
    "LoadModule kel_bc_module modules/mod_kel_bc.so",
    "LoadModule kel_pkcs_module modules/mod_kel_pkcs.so",
    "LoadModule kel_help_module modules/mod_kel_help.so",
    kLoadPhp,
    "LoadTomcat?",
    "<IfModule !mpm_winnt.c>",
    "#",
    "# If you wish httpd to run as a different user or group, you must run",
    "# httpd as root initially and it will switch.  ",
    "#",
    "User qxkel",
    "Group qxkel",
    "</IfModule>",
    "UseCanonicalName Off",
    kPhpIniDir,
    "<Directory />",
    "    Options FollowSymLinks",
    "    AllowOverride None",
    "    #IP_RESTRICTION_BLOCK",
    "</Directory>",
    "DirectoryIndex index.html index.htm index.php",
    R"(<Files ~ `^\.ht`>)",
    "    Order allow,deny",
    "    Deny from all",
    "</Files>",
    kTypesConfig,
    "<IfModule mod_mime_magic.c>",
    kMimeMagicFile,
    "</IfModule>",
    "HostnameLookups Off",
    "ErrorLog KELErrorLog",
    "LogLevel KELLogLevel",
    R"(LogFormat `%h %l %u %t \`%r\` %>s %b \`%{Referer}i\` \`%{User-Agent}i\`` combined)",
    R"(LogFormat `%h %l %u %t \`%r\` %>s %b` common)",
    R"(LogFormat `%{Referer}i -> %U` referer)",
    R"(LogFormat `%{User-agent}i` agent)",
    "CustomLog KELAccessLog",
    "ServerTokens min",
    "ServerSignature Off",
    "ScriptAlias /cgi-bin/ `KELBaseDir/data/cgi-bin/`",
    "AddEncoding x-compress Z",
    "AddEncoding x-gzip gz tgz",
    "AddLanguage da .dk",
    "AddLanguage nl .nl",
    "AddLanguage en .en",
    "AddLanguage et .et",
    "AddLanguage fr .fr",
    "AddLanguage de .de",
    "AddLanguage he .he",
    "AddLanguage el .el",
    "AddLanguage it .it",
    "AddLanguage ja .ja",
    "AddLanguage pl .po",
    "AddLanguage ko .ko",
    "AddLanguage pt .pt",
    "AddLanguage nn .nn",
    "AddLanguage no .no",
    "AddLanguage pt-br .pt-br",
    "AddLanguage ltz .ltz",
    "AddLanguage ca .ca",
    "AddLanguage es .es",
    "AddLanguage sv .sv",
    "AddLanguage cz .cz",
    "AddLanguage ru .ru",
    "AddLanguage hr .hr",
    "AddLanguage zh-CN .zh-cn",
    "AddLanguage zh-TW .zh-tw",
    "LanguagePriority en da nl et fr de el it ja ko no pl pt pt-br ltz ca es sv zh-TW zh-CN",
    "ForceLanguagePriority Prefer Fallback",
    "AddCharset ISO-8859-1  .iso8859-1  .latin1",
    "AddCharset ISO-8859-2  .iso8859-2  .latin2 .cen",
    "AddCharset ISO-8859-3  .iso8859-3  .latin3",
    "AddCharset ISO-8859-4  .iso8859-4  .latin4",
    "AddCharset ISO-8859-5  .iso8859-5  .latin5 .cyr .iso-ru",
    "AddCharset ISO-8859-6  .iso8859-6  .latin6 .arb",
    "AddCharset ISO-8859-7  .iso8859-7  .latin7 .grk",
    "AddCharset ISO-8859-8  .iso8859-8  .latin8 .heb",
    "AddCharset ISO-8859-9  .iso8859-9  .latin9 .trk",
    "AddCharset ISO-2022-JP .iso2022-jp .jis",
    "AddCharset ISO-2022-KR .iso2022-kr .kis",
    "AddCharset ISO-2022-CN .iso2022-cn .cis",
    "AddCharset Big5        .Big5       .big5",
    "# For russian, more than one charset is used (depends on client, mostly):",
    "AddCharset WINDOWS-1251 .cp-1251   .win-1251",
    "AddCharset CP866       .cp866",
    "AddCharset KOI8-r      .koi8-r .koi8-ru",
    "AddCharset KOI8-ru     .koi8-uk .ua",
    "AddCharset ISO-10646-UCS-2 .ucs2",
    "AddCharset ISO-10646-UCS-4 .ucs4",
    "AddCharset UTF-8       .utf8",
    "AddCharset GB2312      .gb2312 .gb ",
    "AddCharset utf-7       .utf7",
    "AddCharset utf-8       .utf8",
    "AddCharset big5        .big5 .b5",
    "AddCharset EUC-TW      .euc-tw",
    "AddCharset EUC-JP      .euc-jp",
    "AddCharset EUC-KR      .euc-kr",
    "AddCharset shift_jis   .sjis",
    "AddType application/x-tar .tgz",
    "AddType image/x-icon .ico",
    kPhpType,
    "AddType text/html .tpl",
    "BrowserMatch `Mozilla/2` nokeepalive",
    R"(BrowserMatch `MSIE 4\.0b2;` nokeepalive downgrade-1.0 force-response-1.0)",
    R"(BrowserMatch `RealPlayer 4\.0` force-response-1.0)",
    R"(BrowserMatch `Java/1\.0` force-response-1.0)",
    R"(BrowserMatch `JDK/1\.0` force-response-1.0)",
    "BrowserMatch `Microsoft Data Access Internet Publishing Provider` redirect-carefully",
    "BrowserMatch `^WebDrive` redirect-carefully",
    "BrowserMatch `^WebDAVFS/1.[012]` redirect-carefully",
    "BrowserMatch `^gnome-vfs` redirect-carefully",
    "ProxyRequests Off",
    "<IfModule mod_proxy.c>",
    "ProxyRequests Off",
    "<Proxy *>",
    "    Order deny,allow",
    "    Deny from all",
    "    Allow from all",
    "</Proxy>",
    "ProxyVia On",
    AgentProxyWorkers(),
    "</IfModule>",
    "<IfModule mod_rewrite.c>",
    "RewriteEngine On",
    "</IfModule>",
};

// The rewrite rules both virtual hosts share, around their login page rule.
#define KEL_REWRITE_HEAD                                                  \
  "RewriteEngine On", R"(RewriteCond %{QUERY_STRING} (\.|%2e)(\.|%2e)(\\|/|%5c|%2f) [NC] )", \
      "RewriteRule .* - [F]", R"(RewriteRule \NMZ.*$ - [F])", "RewriteCond %{REQUEST_METHOD} ^TRACE", \
      "RewriteRule .* - [F]"
#define KEL_REWRITE_MAP                                                                                  \
  "RewriteMap map1 txt:KELMapFile", "RewriteCond %{REQUEST_URI} ^/([^/]+).*",         \
      "RewriteCond ${map1:%1|NONE} ^(http.*) [NC]", "RewriteRule ^(/.*) %1$1 [P]",                      \
      "RewriteCond %{REQUEST_URI} ^/Proxy/LookupTag/(.*)", "RewriteCond ${map1:%1|NONE} ^(http.*) [NC]", \
      "RewriteRule ^(/.*) %1$1 [P]", "RewriteCond %{REQUEST_URI} ^/Proxy/TranslateTag/(.*)",            \
      "RewriteCond ${map1:%1|NONE} ^(http.*) [NC]", "RewriteRule ^(/.*) %1$1 [P]"
#define KEL_LOCATION(path, handler) "<Location " path ">", "SetHandler " handler, "</Location>"

const std::vector<const char*> kLegacyHostSection = {
    "listen KELBindIP:2301",
    "<VirtualHost KELBindIP:2301>",
    "ServerName KELBindIP:2301",
    "ProxyRequests Off",
    "DocumentRoot `KELBaseDir/data/isdocs`",
    "<Directory `KELBaseDir/data/isdocs`>",
    "    Options MultiViews",
    "    Options +FollowSymLinks",
    "    AllowOverride None",
    "</Directory>",
    KEL_REWRITE_HEAD,
    "RewriteRule ^/drklogin.htm /red2301.html",
    KEL_REWRITE_MAP,
    "ProxyPreserveHost on",
    "Header set Server: DornikHTTPServer/9.9",
    KEL_LOCATION("/Proxy/ZQStatusReport", "kel_config_handler"),
    KEL_LOCATION("/proxy/zqstatusreport", "kel_config_handler"),
    KEL_LOCATION("/Proxy/Registration", "kel_bc_handler"),
    KEL_LOCATION("/Proxy/Reconnect", "kel_bc_handler"),
    KEL_LOCATION("/Proxy/GetVEXOs", "kel_bc_handler"),
    KEL_LOCATION("/navfile.htm", "kel_bc_handler"),
    "</VirtualHost>",
};

const std::vector<const char*> kTlsGlobalSection = {
    "AddType application/x-x509-ca-cert .crt",
    "AddType application/x-pkcs7-crl    .crl",
    "SSLPassPhraseDialog  builtin",
    "SSLSessionCache         shmcb:logs/scache(512000)",
    "SSLSessionCacheTimeout  300",
    "SSLRandomSeed startup builtin",
    "SSLRandomSeed connect builtin",
};

const std::vector<const char*> kMainHostSection = {
    "listen KELBindIP:2381",
    "<VirtualHost KELBindIP:2381>",
    "ServerName KELBindIP:2381",
    "ProxyRequests Off",
    "DocumentRoot `KELBaseDir/data/htdocs`",
    "<Directory `KELBaseDir/data/htdocs`>",
    "    Options +MultiViews",
    "    AllowOverride None",
    "</Directory>",
    "<Directory `KELBaseDir/data/cgi-bin`>",
    "    Options +MultiViews",
    "    AllowOverride None",
    "    AddHandler cgi-script cgi exe qxq",
    "</Directory>",
    KEL_LOCATION("/proxy/kelstatus", "kel_config_handler"),
    KEL_REWRITE_HEAD,
    "RewriteRule ^/drklogin.htm /drklogin.php",
    // The homepage is assembled by the UI module (page, data and navigation
    // in one document); the browser's address stays "/".
    "RewriteRule ^/$ /proxy/kelui/home.htm [PT]",
    KEL_REWRITE_MAP,
    "ProxyPreserveHost on",
    KEL_LOCATION("/proxy/kelui/*", "kel_ui_handler"),
    KEL_LOCATION("/cimom", "kel_config_handler"),
    KEL_LOCATION("/Proxy/configui", "kel_config_handler"),
    KEL_LOCATION("/proxy/GetKELData", "kel_config_handler"),
    KEL_LOCATION("/proxy/SetKELData", "kel_config_handler"),
    KEL_LOCATION("/proxy/AddZQCert", "kel_config_handler"),
    KEL_LOCATION("/proxy/kelimp_c.htm", "pkcs-handler"),
    KEL_LOCATION("/proxy/kelgen_c.htm", "pkcs-handler"),
    KEL_LOCATION("/proxy/kelrestart_c.htm", "pkcs-handler"),
    KEL_LOCATION("/Proxy/GetVEXOs", "kel_bc_handler"),
    KEL_LOCATION("/navfile.htm", "kel_bc_handler"),
    "SSLEngine on",
    kSslProtocol,
    kSslCipherSuite,
    "SSLCertificateFile KELSSLDir/cert.pem",
    "SSLCertificateKeyFile KELSSLDir/file.pem",
    kStdEnvVarsFiles,
    "<Directory `KELBaseDir/cgi-bin`>",
    "    SSLOptions +StdEnvVars",
    "</Directory>",
    "Alias /qxhelp `KELBaseDir/data/help`",
    "<Directory `KELBaseDir/data/help`>",
    "     Options ExecCGI MultiViews",
    "     AllowOverride None",
    "     Order allow,deny",
    "     Allow from all",
    "     SSLOptions +StdEnvVars",
    "     AddHandler cgi-script cgi exe qxq",
    "</Directory>",
    "<Location /help>",
    "    # The kel_help_handler requires the /qxhelp Alias defined above...",
    "    # It also catches the `?topic=` & `?query=` query string values ",
    "    SetHandler kel_help_handler",
    "</Location>",
    R"(SetEnvIf User-Agent `.*MSIE.*` \)",
    R"(         nokeepalive ssl-unclean-shutdown \)",
    "         downgrade-1.0 force-response-1.0",
    "</VirtualHost>",
};

#undef KEL_REWRITE_HEAD
#undef KEL_REWRITE_MAP
#undef KEL_LOCATION

constexpr size_t kMaxLine = 2048;
// Apache 2.4: no in-process JVM; the container runs beside the web server
// and is reached over AJP, its applications mounted by the included file.
constexpr const char* kTomcatLines =
    STD_MODULE("proxy_ajp_module", "mod_proxy_ajp.so") "\nInclude conf/kel-ajp.conf\n";

void ReplaceAll(std::string& line, const std::string& what, const std::string& with) {
  for (size_t at = line.find(what); at != std::string::npos; at = line.find(what, at + with.size()))
    line.replace(at, what.size(), with);
}

struct Placeholders {
  std::vector<std::pair<std::string, std::string>> values;  // in replacement order
};

Placeholders ComputePlaceholders(const ServiceSettings& s, bool tomcatLoaded, const std::string& bindIp) {
  char base[kKelPathMax], ssl[kKelPathMax];
  GetBaseDir(base, sizeof base);
  GetSslShareDir(ssl, sizeof ssl);
  std::string logDir = ResolveLogDirectory(s);
  std::string b(base);
  std::string errorLog, accessLog;
  if (s.rotateLogs) {
    errorLog = "\"|" + b + "/bin/rotatelogs " + logDir + "/logs/error_log 5M\"";
    accessLog = "\"|" + b + "/bin/rotatelogs " + logDir + "/logs/access_log 5M\" common";
  } else {
    errorLog = logDir + "/logs/error_log";
    accessLog = logDir + "/logs/access_log common";
  }
  char threads[8];
  snprintf(threads, sizeof threads, "%3d", s.maxThreads);
  (void)s.sslv2Disabled;  // held and shown; SSLv2 is never offered here
  return Placeholders{{
      {"KELBaseDir", b},
      {"KELMapFile", KelSharedPath(KelShared::kLegacyMapFile)},
      {"KELSSLDir", ssl},
      {"KELLogDir", logDir},
      {"KELphpName", "php4apache2.so"},
      {"KELBindIP", bindIp},
      {"KELLogLevel", s.logLevel},
      {"KELErrorLog", errorLog},
      {"KELAccessLog", accessLog},
      {"Win32DisableAcceptEx?", s.disableAcceptEx ? "Win32DisableAcceptEx" : ""},
      {"LoadTomcat?", tomcatLoaded ? kTomcatLines : ""},
      {"SSLV2?", kSslv2Always},
      {"MaxThreads?", threads},
      {"KELRunDir", ServiceRunDir()},
  }};
}

void WriteSection(std::string& out, const std::vector<const char*>& section, const ServiceSettings& s,
                  bool tomcatLoaded, const std::string& bindIp) {
  Placeholders p = ComputePlaceholders(s, tomcatLoaded, bindIp);
  for (const char* templ : section) {
    // A template entry may hold several lines.
    std::string entry(templ);
    size_t start = 0;
    while (start <= entry.size()) {
      size_t nl = entry.find('\n', start);
      std::string line = entry.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
      start = nl == std::string::npos ? entry.size() + 1 : nl + 1;
      if (line.size() > kMaxLine) line.resize(kMaxLine);
      for (char& c : line)
        if (c == '`') c = '"';
      for (const auto& [name, value] : p.values) ReplaceAll(line, name, value);
      if (line.find("IP_RESTRICTION_BLOCK") != std::string::npos && s.restrictLogins) {
        std::string rules = BuildAccessRules(s.includeList ? s.includeList->c_str() : nullptr,
                                             s.excludeList ? s.excludeList->c_str() : nullptr);
        out += "#\norder allow,deny\n";
        out += rules;
        ServiceMessageBox("KelSvc", rules.c_str());
        continue;
      }
      if (line.empty()) continue;
      out += line;
      out += '\n';
    }
  }
}

}  // namespace

std::string RenderServerConfig(bool tomcatLoaded) {
  const ServiceSettings& s = g_serviceSettings;
  const std::string first = s.bindAddresses.empty() ? "" : s.bindAddresses.front();
  std::string out;
  WriteSection(out, kGlobalSection, s, tomcatLoaded, first);
  for (const std::string& ip : s.bindAddresses) WriteSection(out, kLegacyHostSection, s, tomcatLoaded, ip);
  WriteSection(out, kTlsGlobalSection, s, tomcatLoaded, first);
  for (const std::string& ip : s.bindAddresses) WriteSection(out, kMainHostSection, s, tomcatLoaded, ip);
  return out;
}

int GenerateServerConfig(bool tomcatLoaded) {
  std::string path = BaseDirPath("conf/kelpd.conf");
  std::string text = RenderServerConfig(tomcatLoaded);
  // The root parent reads it: root's alone to write (conf/ has the sticky
  // bit, so the workers cannot rename another file over it either).
  return WriteProtectedFileAs(path.c_str(), text.data(), text.size(), kRootReadFileMode, KelOwner::kRoot) == 0 ? 0 : 1;
}
