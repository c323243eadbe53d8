#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "kel_accounts.h"
#include "kel_test_env.h"
#include "kel_xml.h"
#include "svc_config.h"
#include "svc_servlet.h"
#include "svc_settings.h"

namespace {

using kel::test::ReadFile;
using kel::test::WriteFile;

constexpr const char* kMissingText =
    "Configuration file is missing, a default configuration file has been generated for proper startup.";
constexpr const char* kNotFoundText =
    "Configuration file is missing and J2SE JRE path was not found, a default configuration file without J2SE JRE "
    "path has been generated for proper startup.";
constexpr const char* kEnvironment[] = {"JAVA_HOME", "CATALINA_HOME", "CATALINA_BASE", "TOMCAT_HOME", "SERVERROOT",
                                        "JVMDLL_LOCATION"};

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string JkelpdXml(const std::string& jre) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<servlet-container-for-kel>\n<jre>" + jre +
         "</jre>\n</servlet-container-for-kel>";
}

// A base directory, a container installation and a Java runtime of files
// only: nothing here runs.
class ServletTest : public kel::test::TempBase {
 protected:
  void SetUp() override {
    TempBase::SetUp();
    for (const char* v : kEnvironment) {
      const char* old = getenv(v);
      saved_.emplace_back(v, old ? std::optional<std::string>(old) : std::nullopt);
      unsetenv(v);
    }
    install_ = root_ + "/tomcat10";
    for (const char* f : {"bin/bootstrap.jar", "lib/catalina.jar", "etc/web.xml"}) Touch(install_ + "/" + f);
    WriteFile(install_ + "/etc/web.xml", "<web-app/>\n");
    jre_ = root_ + "/jre";
    Touch(jre_ + "/lib/server/libjvm.so");
    kel::testing::SetServletPlaces(install_.c_str(), (root_ + "/no-default-java").c_str());
    g_osDefaults = OsDefaults{};
    WriteFile(Path("conf/kelpd.xml"), kDefaultSettingsFile);
    HoldBackServletContainer(false);
  }
  void TearDown() override {
    kel::testing::SetServletPlaces(nullptr, nullptr);
    HoldBackServletContainer(false);
    for (const auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
    TempBase::TearDown();
  }
  static void Touch(const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    WriteFile(path, "");
  }
  void Register(const std::string& file, const std::string& body) { WriteFile(Path("webapp/" + file), body); }
  void RegisterServletApp(const std::string& name) {
    Register(name + ".xml", "<?xml version=\"1.0\"?>\n<webapp name=\"" + name + "\"><tomcat value=\"yes\"/></webapp>");
  }
  static std::string Secret(const std::string& text) {
    std::smatch m;
    return std::regex_search(text, m, std::regex("secret=\"?([0-9a-f]+)")) ? m[1].str() : "";
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st.st_mode & 07777;
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
  std::string install_, jre_;
};

TEST_F(ServletTest, NoApplicationAsksForTheContainer) {
  Register("plain.xml", "<?xml version=\"1.0\"?>\n<webapp name=\"plain\"><tomcat value=\"no\"/></webapp>");
  // Whatever is there is neither read nor written.
  WriteFile(Path("conf/jkelpd.xml"), "not xml");
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_EQ(Log(), "");
  EXPECT_EQ(ReadFile(Path("conf/jkelpd.xml")), "not xml");
  EXPECT_FALSE(std::filesystem::exists(Path("conf/kel-ajp.conf")));
  EXPECT_FALSE(std::filesystem::exists(Path("tomcat")));
  std::string conf = ReadFile(Path("conf/kelpd.conf"));
  EXPECT_EQ(conf.find("proxy_ajp"), std::string::npos);
  EXPECT_EQ(conf.find("kel-ajp.conf"), std::string::npos);
  EXPECT_EQ(getenv("JAVA_HOME"), nullptr);
}

TEST_F(ServletTest, WhichRegistrationsAskForIt) {
  struct {
    const char* file;
    const char* body;
    bool asks;
  } cases[] = {
      {"a.xml", "<webapp name=\"a\"><tomcat value=\"YES\"/></webapp>", true},
      {"b.xml", "<webapp name=\"b\"><x><tomcat value=\"yes please\"/></x></webapp>", true},
      {"c.XML", "<webapp name=\"c\"><tomcat value=\"Yes\"/></webapp>", true},
      {"d.xml", "<webapp name=\"d\"><tomcat value=\"no\"/><tomcat value=\"yes\"/></webapp>", false},
      {"e.xml", "<webapp name=\"e\"><tomcat/></webapp>", false},
      {"f.xml", "<webapp name=\"f\"><tomcat value=\"yes\"></webapp>", false},  // does not load
      {"g.xml.bak", "<webapp name=\"g\"><tomcat value=\"yes\"/></webapp>", false},
      {"h.xml", "<webapp name=\"h\"><tomcat value=\" yes\"/></webapp>", false},
  };
  std::filesystem::create_directories(Path("webapp/dir.xml"));
  EXPECT_FALSE(IsServletContainerRequired());
  for (const auto& c : cases) {
    std::filesystem::remove_all(Path("webapp"));
    std::filesystem::create_directories(Path("webapp"));
    Register(c.file, c.body);
    EXPECT_EQ(IsServletContainerRequired(), c.asks) << c.file;
  }
  EXPECT_EQ(Log(), "");  // a file that does not load is skipped silently
}

TEST_F(ServletTest, OnlyPlainNamesAreMountedEachOnce) {
  int n = 0;
  for (const char* name : {"shop", "Proxy", "..", "a b", "shop", "x;y", "inv-2.0_b"})
    Register("r" + std::to_string(n++) + ".xml",
             std::string("<webapp name=\"") + name + "\"><tomcat value=\"yes\"/></webapp>");
  Register("noname.xml", "<webapp><tomcat value=\"yes\"/></webapp>");
  std::vector<std::string> apps = ServletApplications();
  std::sort(apps.begin(), apps.end());
  EXPECT_EQ(apps, (std::vector<std::string>{"inv-2.0_b", "shop"}));
  EXPECT_NE(RenderServletProxyConf(apps, "ab").find("\nRedirectMatch 301 ^/inv-2\\.0_b$ /inv-2.0_b/\n"),
            std::string::npos);
  std::string log = Log();
  for (const char* refused : {"\"Proxy\"", "\"..\"", "\"a b\"", "\"x;y\"", "\"\""})
    EXPECT_NE(log.find(std::string("PrepareServletContainer: the web application ") + refused), std::string::npos)
        << refused;
}

TEST_F(ServletTest, MissingSettingsFileWithARuntimeInJavaHome) {
  RegisterServletApp("shop");
  setenv("JAVA_HOME", jre_.c_str(), 1);
  ASSERT_TRUE(PrepareServletContainer());
  // Written empty first, then with the runtime found.
  EXPECT_EQ(ReadFile(Path("conf/jkelpd.xml")), JkelpdXml(jre_));
  std::string log = Log();
  EXPECT_EQ(Count(log, kMissingText), 2);
  EXPECT_EQ(Count(log, "Tomcat is required."), 1);
  EXPECT_EQ(Count(log, "(severity=0)"), 3);
  EXPECT_EQ(PreparedJreHome(), jre_);

  EXPECT_EQ(std::string(getenv("JAVA_HOME")), jre_);
  EXPECT_EQ(std::string(getenv("CATALINA_HOME")), install_);
  EXPECT_EQ(std::string(getenv("CATALINA_BASE")), Path("tomcat"));
  EXPECT_EQ(std::string(getenv("TOMCAT_HOME")), Path("tomcat"));
  EXPECT_EQ(std::string(getenv("SERVERROOT")), base_);
  EXPECT_EQ(std::string(getenv("JVMDLL_LOCATION")), jre_ + "/lib/server/libjvm.so");

  std::string serverXml = ReadFile(Path("tomcat/conf/server.xml"));
  std::string proxy = ReadFile(Path("conf/kel-ajp.conf"));
  std::string secret = Secret(serverXml);
  EXPECT_EQ(secret.size(), 48u);
  EXPECT_EQ(Secret(proxy), secret);
  EXPECT_NE(proxy.find("\nProxyPass /shop/ ajp://127.0.0.1:2391/shop/ secret=" + secret + " retry=0\n"), std::string::npos);
  EXPECT_EQ(ReadFile(Path("tomcat/conf/web.xml")), "<web-app/>\n");
}

TEST_F(ServletTest, NamedDirectoryWithoutJvmAndNoRuntimeToBeFound) {
  RegisterServletApp("shop");
  std::filesystem::create_directories(root_ + "/empty-jre");
  WriteFile(Path("conf/jkelpd.xml"), JkelpdXml(root_ + "/empty-jre"));
  EXPECT_FALSE(PrepareServletContainer());
  EXPECT_EQ(ReadFile(Path("conf/jkelpd.xml")), JkelpdXml(""));
  std::string log = Log();
  EXPECT_EQ(Count(log, kNotFoundText), 1);
  EXPECT_NE(log.find("(severity=3)  " ), std::string::npos);
  EXPECT_NE(log.find("The directory \"\" does not have a \"J2SE JRE\"."), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Path("conf/kel-ajp.conf")));
}

TEST_F(ServletTest, DefaultJavaIsFoundThroughItsRealPath) {
  RegisterServletApp("shop");
  std::filesystem::create_symlink(jre_, root_ + "/default-java");
  kel::testing::SetServletPlaces(install_.c_str(), (root_ + "/default-java").c_str());
  setenv("JAVA_HOME", "/", 1);  // one character: not taken
  WriteFile(Path("conf/jkelpd.xml"), JkelpdXml("/nowhere"));
  ASSERT_TRUE(PrepareServletContainer());
  EXPECT_EQ(ReadFile(Path("conf/jkelpd.xml")), JkelpdXml(jre_));
  EXPECT_EQ(Count(Log(), kMissingText), 1);
}

TEST_F(ServletTest, ContainerMissing) {
  RegisterServletApp("shop");
  std::filesystem::remove(install_ + "/lib/catalina.jar");
  setenv("JAVA_HOME", jre_.c_str(), 1);
  EXPECT_FALSE(PrepareServletContainer());
  std::string log = Log();
  EXPECT_NE(log.find("Tomcat is required."), std::string::npos);
  EXPECT_NE(log.find("(severity=3)  "), std::string::npos);
  EXPECT_NE(log.find("The Tomcat is required but it is not installed."), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(Path("conf/jkelpd.xml")));
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_EQ(ReadFile(Path("conf/kelpd.conf")).find("proxy_ajp"), std::string::npos);
}

TEST_F(ServletTest, MissingDefaultDescriptorNamesTheFile) {
  RegisterServletApp("shop");
  std::filesystem::remove(install_ + "/etc/web.xml");
  setenv("JAVA_HOME", jre_.c_str(), 1);
  EXPECT_FALSE(PrepareServletContainer());
  EXPECT_NE(Log().find("Error to generate the \"web.xml\" file."), std::string::npos);
}

TEST_F(ServletTest, InstanceFilesAndAFreshSecretAtEachRead) {
  RegisterServletApp("shop");
  RegisterServletApp("books");
  setenv("JAVA_HOME", jre_.c_str(), 1);
  ASSERT_EQ(LoadSettings(), 0);
  std::string conf = ReadFile(Path("conf/kelpd.conf"));
  EXPECT_NE(conf.find("mod_proxy_ajp.so\nInclude conf/kel-ajp.conf\n"), std::string::npos);

  std::string serverXml = ReadFile(Path("tomcat/conf/server.xml"));
  std::unique_ptr<kel::XmlDocument> doc = kel::XmlDocument::Parse(serverXml);
  ASSERT_TRUE(doc);
  EXPECT_STREQ(kel::XmlGetAttribute(doc->Root(), "port"), "-1");  // no shutdown port
  std::vector<kel::XmlNode> connectors = kel::XmlFindByTag(doc->DocumentNode(), "Connector");
  ASSERT_EQ(connectors.size(), 1u);
  EXPECT_STREQ(kel::XmlGetAttribute(connectors[0], "protocol"), "AJP/1.3");
  EXPECT_STREQ(kel::XmlGetAttribute(connectors[0], "address"), "127.0.0.1");
  EXPECT_STREQ(kel::XmlGetAttribute(connectors[0], "port"), "2391");
  EXPECT_STREQ(kel::XmlGetAttribute(connectors[0], "secretRequired"), "true");
  EXPECT_TRUE(kel::XmlFindByTag(doc->DocumentNode(), "Context").empty());  // no sample applications
  std::string proxy = ReadFile(Path("conf/kel-ajp.conf"));
  EXPECT_EQ(Count(proxy, "ProxyPass /"), 2);

  // Root and the container's account read the secret, nobody else.
  for (const char* f : {"conf/kel-ajp.conf", "tomcat/conf/server.xml", "conf/jkelpd.xml"})
    EXPECT_EQ(Mode(Path(f)), 0640u) << f;
  for (const char* d : {"tomcat/logs", "tomcat/work", "tomcat/temp"}) EXPECT_EQ(Mode(Path(d)), 0770u) << d;
  EXPECT_EQ(Mode(Path("tomcat")), 0750u);
  EXPECT_EQ(Mode(Path("tomcat/conf")), 0750u);
  if (geteuid() == 0) {
    uid_t qxkel;
    gid_t group;
    ASSERT_TRUE(LookupUser(kServiceAccount, &qxkel, &group));
    struct stat st {};
    for (const char* d : {"tomcat/logs", "tomcat/work", "tomcat/temp"}) {
      ASSERT_EQ(stat(Path(d).c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, qxkel) << d;
    }
    ASSERT_EQ(stat(Path("tomcat/conf/server.xml").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, group);
  }

  ASSERT_EQ(LoadSettings(), 0);
  std::string again = Secret(ReadFile(Path("tomcat/conf/server.xml")));
  EXPECT_NE(again, Secret(serverXml));
  EXPECT_EQ(Secret(ReadFile(Path("conf/kel-ajp.conf"))), again);
  // Once given up, the container stays out of the configuration.
  HoldBackServletContainer(true);
  ASSERT_EQ(LoadSettings(), 0);
  EXPECT_EQ(ReadFile(Path("conf/kelpd.conf")).find("proxy_ajp"), std::string::npos);
}

TEST_F(ServletTest, TestOnlyHttpConnector) {
  EXPECT_EQ(RenderServletServerXml("ab").find("HTTP/1.1"), std::string::npos);
  setenv("KELSVC_TEST_TOMCAT_HTTP_PORT", "2392", 1);
  std::string xml = RenderServletServerXml("ab");
  unsetenv("KELSVC_TEST_TOMCAT_HTTP_PORT");
  EXPECT_NE(xml.find("<Connector protocol=\"HTTP/1.1\" address=\"127.0.0.1\" port=\"2392\""), std::string::npos);
}

}  // namespace
