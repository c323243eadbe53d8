#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <vector>

#include "kel_test_env.h"
#include "cfg_routes.h"
#include "svc_config.h"
#include "svc_settings.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

std::vector<uint32_t> Local(std::initializer_list<const char*> texts) {
  std::vector<uint32_t> out;
  for (const char* t : texts) out.push_back(inet_addr(t));
  return out;
}

TEST(BindAddressTest, Cases) {
  struct {
    bool binding;
    const char* list;  // null: none
    std::vector<std::string> expected;
  } cases[] = {
      {false, nullptr, {"127.0.0.1", "192.168.1.5"}},
      {true, "192.168.1.0/255.255.255.0", {"127.0.0.1", "192.168.1.5"}},
      {true, "", {"127.0.0.1"}},
      {true, nullptr, {"127.0.0.1"}},
      {true, "0.0.0.0/0.0.0.0;10.0.0.0/255.0.0.0", {"127.0.0.1", "10.1.1.1", "10.2.2.2"}},
      {true, "10.2.0.0/255.255.0.0;10.0.0.0/255.0.0.0", {"127.0.0.1", "10.2.2.2", "10.1.1.1"}},
      {true, "10.0.0.0-255.0.0.0;garbage;192.168.1.0/255.255.255", {"127.0.0.1"}},
      {true, "127.0.0.0/255.0.0.0", {"127.0.0.1"}},  // later duplicate removed
  };
  std::vector<uint32_t> local = Local({"127.0.0.1", "192.168.1.5", "10.1.1.1", "10.2.2.2"});
  for (const auto& c : cases) {
    ServiceSettings s;
    s.bindListedNetworks = c.binding;
    if (c.list) s.bindingList = c.list;
    std::vector<std::string> got = BuildBindAddressList(s, c.binding ? local : Local({"127.0.0.1", "192.168.1.5"}));
    EXPECT_EQ(got, c.expected) << (c.list ? c.list : "(none)");
  }
}

TEST(AccessRulesTest, RangeRules) {
  struct {
    const char* entry;
    const char* rule;
  } cases[] = {
      {"10.0.0.5", " 10.0.0.5\n"},
      {"10.0.0.5-", " 10.0.0.5\n"},
      {"10.0.0.1-10.0.0.6", " 10.0.0.1 10.0.0.2/31 10.0.0.4/31 10.0.0.6/32\n"},
      {"10.0.0.0-10.0.0.255", " 10.0.0.0/24\n"},
      {"0.0.0.0-255.255.255.255", " all\n"},
      {"10.0.0.7-10.0.0.7", " 10.0.0.7\n"},
      {"10.0.0.9-10.0.0.1", "\n"},
      {"bogus-10.0.0.1", "\n"},
      {"10.0.0.1-10.0.0.2", " 10.0.0.1 10.0.0.2\n"},  // the last address is not lost
      {"0.0.0.0-0.0.0.3", " 0.0.0.1 0.0.0.2/31 0.0.0.0\n"},
      {"255.255.255.252-255.255.255.255", " 255.255.255.252/31 255.255.255.254/32 255.255.255.255\n"},
      {"10.0.0.0-10.0.1.4", " 10.0.0.0/24 10.0.1.0/30 10.0.1.4/32\n"},
      // Text that would end the rule line or start a directive.
      {"10.0.0.5\nLoadModule evil /tmp/evil.so", "\n"},
      {"10.0.0.5 \"x", "\n"},
  };
  for (const auto& c : cases) {
    std::string out;
    AppendRangeRule(out, c.entry);
    EXPECT_EQ(out, c.rule) << c.entry;
  }
}

TEST(AccessRulesTest, IncludeAndExcludeLists) {
  EXPECT_EQ(BuildAccessRules("10.0.0.5", nullptr), "allow from 127.0.0.1\nallow from 10.0.0.5\n");
  EXPECT_EQ(BuildAccessRules("0.0.0.0-255.255.255.255", ""), "allow from 127.0.0.1\nallow from all\n");
  EXPECT_EQ(BuildAccessRules("", nullptr), "allow from all\n");
  EXPECT_EQ(BuildAccessRules(nullptr, "10.0.0.9;10.0.1.0-10.0.1.3"),
            "allow from all\ndeny from 10.0.0.9\ndeny from 10.0.1.0/30\n");
  EXPECT_EQ(BuildAccessRules("10.0.0.5;;10.0.0.6 ", nullptr),
            "allow from 127.0.0.1\nallow from 10.0.0.5\nallow from 10.0.0.6\n");
}

class BadRangeTest : public kel::test::TempBase {};

TEST_F(BadRangeTest, RuleWithoutAnAddressIsLeftOutAndLogged) {
  EXPECT_EQ(BuildAccessRules("10.0.0.9-10.0.0.1;10.0.0.5", "bogus-1.2.3.4"),
            "allow from 127.0.0.1\nallow from 10.0.0.5\n");
  EXPECT_EQ(BuildAccessRules("10.0.0.9-10.0.0.1", nullptr), "allow from 127.0.0.1\n");
  std::string log = Log();
  EXPECT_NE(log.find("WARNING LOG (severity=1)"), std::string::npos);
  EXPECT_NE(log.find("BuildAccessRules: the address range bogus-1.2.3.4 is not valid and was left out.\n"),
            std::string::npos);
}

class ConfigTest : public kel::test::TempBase {
 protected:
  void SetUp() override {
    TempBase::SetUp();
    g_serviceSettings = ServiceSettings{};
    g_serviceSettings.bindAddresses = {"127.0.0.1", "192.168.1.5"};
  }
  ServiceSettings& s = g_serviceSettings;
};

TEST_F(ConfigTest, SectionsRepeatPerBindAddressWithNoBlankLines) {
  std::string conf = RenderServerConfig(false);
  for (const char* ip : {"127.0.0.1", "192.168.1.5"}) {
    for (const char* port : {"2301", "2381"}) {
      std::string l = std::string("listen ") + ip + ":" + port + "\n";
      EXPECT_NE(conf.find(l), std::string::npos) << l;
      EXPECT_NE(conf.find(std::string("<VirtualHost ") + ip + ":" + port + ">\n"), std::string::npos);
    }
  }
  // Sections in order: global, legacy hosts, TLS global, main hosts.
  EXPECT_LT(conf.find("RewriteEngine On\n</IfModule>"), conf.find("listen 127.0.0.1:2301"));
  EXPECT_LT(conf.find("listen 192.168.1.5:2301"), conf.find("SSLPassPhraseDialog  builtin"));
  EXPECT_LT(conf.find("SSLRandomSeed connect builtin"), conf.find("listen 127.0.0.1:2381"));
  EXPECT_EQ(conf.find("\n\n"), std::string::npos);
  EXPECT_EQ(conf.find('`'), std::string::npos);
  std::smatch m;
  EXPECT_FALSE(std::regex_search(conf, m, std::regex("KEL(BaseDir|SSLDir|LogDir|phpName|BindIP|LogLevel|ErrorLog|AccessLog)|MaxThreads\\?|SSLV2\\?|LoadTomcat\\?")))
      << m.str();
  EXPECT_EQ(conf.find("Win32DisableAcceptEx"), std::string::npos);
}

TEST_F(ConfigTest, ExactLinesOfTheTemplate) {
  s.maxThreads = 64;
  std::string conf = RenderServerConfig(false);
  const char* lines[] = {
      "ServerRoot \"" /* base */,
      "MaxRequestWorkers    64\n",
      "ThreadsPerChild      64\n",
      "ThreadsPerChild  64\n",  // the Windows block keeps its own spacing
      "ThreadLimit 512\n",
      "# httpd as root initially and it will switch.  \n",
      "    #IP_RESTRICTION_BLOCK\n",
      "AddCharset GB2312      .gb2312 .gb \n",
      "LogFormat \"%h %l %u %t \\\"%r\\\" %>s %b \\\"%{Referer}i\\\" \\\"%{User-Agent}i\\\"\" combined\n",
      "RewriteCond %{QUERY_STRING} (\\.|%2e)(\\.|%2e)(\\\\|/|%5c|%2f) [NC] \n",
      "RewriteRule ^/drklogin.htm /red2301.html\n",
      "RewriteRule ^/drklogin.htm /drklogin.php\n",
      "    # It also catches the \"?topic=\" & \"?query=\" query string values \n",
      "     Options ExecCGI MultiViews\n",
      "SetEnvIf User-Agent \".*MSIE.*\" \\\n         nokeepalive ssl-unclean-shutdown \\\n         downgrade-1.0 "
      "force-response-1.0\n</VirtualHost>\n",
      "<Location /proxy/kelui/*>\nSetHandler kel_ui_handler\n</Location>\n",
      "<Location /proxy/kelgen_c.htm>\nSetHandler pkcs-handler\n</Location>\n",
      "<Location /proxy/kelrestart_c.htm>\nSetHandler pkcs-handler\n</Location>\n",
      "SSLProtocol All -SSLv2 -SSLv3 -TLSv1 -TLSv1.1\n",
      "LogLevel error\n",
  };
  for (const char* l : lines) EXPECT_NE(conf.find(l), std::string::npos) << l;
  EXPECT_NE(conf.find("SSLCertificateKeyFile " + root_ + "/ssl/file.pem\n"), std::string::npos);
  EXPECT_NE(conf.find("RewriteMap map1 txt:" + base_ + "/conf/vexolist.map\n"), std::string::npos);
}

// Every discovery port has a proxy worker of its own, so agent connections
// are reused; TLS variables go to PHP pages only where PHP runs.
TEST_F(ConfigTest, AgentWorkersAndTlsVariables) {
  std::string conf = RenderServerConfig(false);
  for (int port : {49400, 49417, 49439})
    EXPECT_NE(conf.find("<Proxy http://127.0.0.1:" + std::to_string(port) + ">\nProxySet ttl=60 max=128\n</Proxy>\n"),
              std::string::npos) << port;
  EXPECT_EQ(conf.find("127.0.0.1:49440"), std::string::npos);
  EXPECT_LT(conf.find("ProxyVia On\n<Proxy http://127.0.0.1:49400>"), conf.find("<VirtualHost"));
  EXPECT_NE(conf.find("<IfModule fcgid_module>\n<Files ~ \"\\.(qxq|exe|cgi|shtml|phtml|php3?)$\">\n"
                      "    SSLOptions +StdEnvVars\n</Files>\n</IfModule>\n<IfModule !fcgid_module>\n"
                      "<Files ~ \"\\.(qxq|exe|cgi|shtml)$\">\n    SSLOptions +StdEnvVars\n</Files>\n</IfModule>\n"),
            std::string::npos);
}

TEST_F(ConfigTest, LogsRotatedOrPlainAndSslv2NeverOffered) {
  s.sslv2Disabled = false;  // held and shown, but SSLv2 does not exist here
  std::string conf = RenderServerConfig(false);
  EXPECT_NE(conf.find("ErrorLog \"|" + base_ + "/bin/rotatelogs " + base_ + "/logs/error_log 5M\"\n"),
            std::string::npos);
  EXPECT_NE(conf.find("CustomLog \"|" + base_ + "/bin/rotatelogs " + base_ + "/logs/access_log 5M\" common\n"),
            std::string::npos);
  EXPECT_EQ(conf.find("+SSLv2"), std::string::npos);
  s.rotateLogs = false;
  s.logDirectory = "/var/log/kel";
  s.disableAcceptEx = true;
  conf = RenderServerConfig(true);
  EXPECT_NE(conf.find("ErrorLog /var/log/kel/logs/error_log\n"), std::string::npos);
  EXPECT_NE(conf.find("CustomLog /var/log/kel/logs/access_log common\n"), std::string::npos);
  EXPECT_NE(conf.find("MaxRequestsPerChild  0\nWin32DisableAcceptEx\n</IfModule>"), std::string::npos);
  // The container's connector, right after the modules it needs.
  EXPECT_NE(conf.find("/mod_proxy_ajp.so\nInclude conf/kel-ajp.conf\n\n<IfModule !mpm_winnt.c>\n"), std::string::npos);
  EXPECT_LT(conf.find("LoadModule proxy_module"), conf.find("LoadModule proxy_ajp_module"));
}

TEST_F(ConfigTest, NoBindAddressLeavesOutTheVirtualHosts) {
  s.bindAddresses.clear();
  std::string conf = RenderServerConfig(false);
  EXPECT_EQ(conf.find("VirtualHost"), std::string::npos);
  EXPECT_NE(conf.find("SSLSessionCacheTimeout  300\n"), std::string::npos);
}

TEST_F(ConfigTest, WrittenFileAndItsFailure) {
  ASSERT_EQ(GenerateServerConfig(false), 0);
  EXPECT_EQ(ReadFile(Path("conf/kelpd.conf")), RenderServerConfig(false));
  std::filesystem::remove_all(Path("conf"));
  EXPECT_EQ(GenerateServerConfig(false), 1);
  EXPECT_EQ(ResetLegacyMapFile(), 1);
}

TEST_F(ConfigTest, PhpIniFollowsTheRegistrationFiles) {
  WriteFile(Path("webapp/a.xml"), "<webapp><extension name='openssl'/></webapp>");
  WriteFile(Path("webapp/b.xml"), "<webapp><extension name='xslt'/>");  // does not parse
  ScanPhpExtensions();
  ASSERT_EQ(WritePhpIni(), 1);
  EXPECT_EQ(ReadFile(Path("bin/php.ini")),
            "extension_dir=" + base_ + "/modules/\nsession.save_path=" + base_ +
                "/session/php\nmax_execution_time=60\nextension=php_domxml\nextension=php_openssl\n"
                "\n;Error Report\nerror_reporting = E_COMPILE_ERROR|E_ERROR|E_CORE_ERROR|E_PARSE\n");
  std::string log = Log();
  EXPECT_NE(log.find("ERROR LOG (severity=2)"), std::string::npos);
  EXPECT_NE(log.find("Failed to parse webapp configuration file " + base_ + "/webapp/b.xml."), std::string::npos);

  std::filesystem::remove(Path("webapp/a.xml"));
  ScanPhpExtensions();  // every flag is cleared first
  WritePhpIni();
  EXPECT_EQ(ReadFile(Path("bin/php.ini")).find("openssl"), std::string::npos);
  std::filesystem::remove_all(Path("bin"));
  EXPECT_EQ(WritePhpIni(), 0);
}

TEST_F(ConfigTest, MapFileAndSessionDirectories) {
  WriteFile(Path("conf/vexolist.map"), "vexo1 http://127.0.0.1:49400\n");
  ASSERT_EQ(ResetLegacyMapFile(), 0);
  EXPECT_EQ(ReadFile(Path("conf/vexolist.map")), "");
  CreateSessionDirectories();
  EXPECT_TRUE(std::filesystem::is_directory(Path("session/php")));
}

// Every location the configuration hands to the settings module is one its
// dispatch table answers, and every URI of the table has a location.
TEST_F(ConfigTest, SettingsModuleLocationsAreItsRoutes) {
  std::string conf = RenderServerConfig(false);
  std::regex location("<Location ([^>]+)>\nSetHandler ([^\n]+)\n</Location>");
  std::set<std::string> handled, routes;
  auto lower = [](std::string t) {
    for (char& c : t) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return t;
  };
  for (auto it = std::sregex_iterator(conf.begin(), conf.end(), location); it != std::sregex_iterator(); ++it)
    if ((*it)[2] == kConfigHandlerName) handled.insert(lower((*it)[1]));
  for (const char* uri : kConfigUris) routes.insert(lower(uri));
  EXPECT_EQ(handled, routes);
}

}  // namespace
