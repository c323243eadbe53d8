// The servlet container's preparation at every settings read: the runtime
// record conf/jkelpd.xml, the Tomcat instance's files and the AJP lines of
// the web server's configuration.
#include "svc_servlet.h"

#include <strings.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <atomic>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_text.h"
#include "kel_xml.h"
#include "svc_config.h"
#include "svc_log.h"
#include "svc_settings.h"

namespace {

constexpr const char* kDebianTomcat = "/usr/share/tomcat10";
constexpr const char* kDebianDefaultJava = "/usr/lib/jvm/default-java";
constexpr const char* kJvmLibrary = "lib/server/libjvm.so";

// Files the container's installation must hold to be started.
constexpr const char* kContainerFiles[] = {"bin/bootstrap.jar", "lib/catalina.jar"};
// The default deployment descriptor of every application (the JSP servlet
// among others): the installation keeps a copy for new instances.
constexpr const char* kDefaultWebXml = "etc/web.xml";

// The portal's own first path segments: an application mounted there would
// take the portal's pages over.
constexpr const char* kPortalSegments[] = {"proxy", "cimom", "help", "qxhelp", "cgi-bin", "login", "navfile.htm"};

std::string g_installDir = kDebianTomcat;
std::string g_defaultJava = kDebianDefaultJava;
std::atomic<bool> g_heldBack{false};
std::string g_preparedJre;

// dir + "/" + name, without doubling a separator the directory ends in.
std::string Under(const std::string& dir, const char* name) {
  if (!dir.empty() && (dir.back() == '/' || dir.back() == '\\')) return dir + name;
  return dir + "/" + name;
}

bool Readable(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// The text of the first jre element, none when the file does not load or
// has no such element.
std::optional<std::string> ReadJreText(const std::string& path) {
  std::unique_ptr<kel::XmlDocument> doc = kel::XmlDocument::Load(path.c_str());
  if (!doc) return std::nullopt;
  return GetElementText(*doc, "jre");
}

std::string SettingsPath() { return BaseDirPath("conf/jkelpd.xml"); }

// Only what is a plain path segment becomes a URL and a configuration word.
bool MountableName(const std::string& name) {
  if (name.empty() || name[0] == '.' || name.size() > 63) return false;
  for (unsigned char c : name)
    if (!isalnum(c) && c != '.' && c != '-' && c != '_') return false;
  for (const char* own : kPortalSegments)
    if (strcasecmp(name.c_str(), own) == 0) return false;
  return true;
}

// Calls fn with every registration file that asks for the container (its
// application name, "" when it has none) until fn returns false.
void ForEachServletRegistration(const std::function<bool(const std::string& file, const std::string& name)>& fn) {
  std::string dir = KelSharedPath(KelShared::kWebAppDir);
  bool more = true;
  ForEachFile((dir + "/*.xml").c_str(), [&](const char* entry) {
    if (!more) return;
    std::string path = dir + "/" + entry;
    std::unique_ptr<kel::XmlDocument> doc = kel::XmlDocument::Load(path.c_str());
    if (!doc) return;
    kel::XmlNode tomcat = kel::XmlFindFirst(doc->DocumentNode(), "tomcat");
    const char* value = tomcat ? kel::XmlGetAttribute(tomcat, "value") : nullptr;
    if (!value || strncasecmp(value, "yes", 3) != 0) return;
    kel::XmlNode webapp = kel::XmlFindFirst(doc->DocumentNode(), "webapp");
    const char* name = webapp ? kel::XmlGetAttribute(webapp, "name") : nullptr;
    more = fn(path, name ? name : "");
  });
}

std::string RandomSecret() {
  unsigned char bytes[24];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// The instance's directories: what root writes (the instance, conf/) is
// root's, so that the workers' account cannot put a link where root writes;
// what Tomcat writes (logs/, work/, temp/) is qxkel's, whoever made it.
bool PrepareInstanceDirectories(const std::string& instance) {
  const struct {
    const char* name;
    mode_t mode;
    KelOwner owner;
  } dirs[] = {
      {"", 0750, KelOwner::kRoot},           {"conf", 0750, KelOwner::kRoot},
      {"logs", 0770, KelOwner::kWorkers},    {"work", 0770, KelOwner::kWorkers},
      {"temp", 0770, KelOwner::kWorkers},
  };
  bool ok = true;
  for (const auto& d : dirs) {
    std::string path = *d.name ? instance + "/" + d.name : instance;
    MakeDir(path.c_str());
    ok = ProtectPath(path.c_str(), d.mode, d.owner) == 1 && ok;
  }
  // The installers' place: made when missing, otherwise left as they made it.
  std::string webapps = instance + "/webapps";
  if (access(webapps.c_str(), F_OK) != 0 && MakeDir(webapps.c_str()) == 0)
    ProtectPath(webapps.c_str(), 0750, KelOwner::kRoot);
  return ok;
}

// Written at every preparation, so the copy always follows the installed
// container (an upgrade of the package changes it).
bool WriteDefaultWebXml(const std::string& instance) {
  std::ifstream in(Under(ServletInstallDir(), kDefaultWebXml), std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  std::string bytes = text.str();
  if (bytes.empty()) return false;
  std::string path = instance + "/conf/web.xml";
  return WriteProtectedFileAs(path.c_str(), bytes.data(), bytes.size(), kRootReadFileMode, KelOwner::kRoot) == 0;
}

bool WriteProtectedText(const std::string& path, const std::string& text) {
  // The secret is in it: root and the container's account read it, nobody else.
  return WriteProtectedFileAs(path.c_str(), text.data(), text.size(), kRootReadFileMode, KelOwner::kRoot) == 0;
}

}  // namespace

namespace kel::testing {
void SetServletPlaces(const char* installDir, const char* defaultJava) {
  g_installDir = installDir ? installDir : kDebianTomcat;
  g_defaultJava = defaultJava ? defaultJava : kDebianDefaultJava;
}
}  // namespace kel::testing

std::string ServletInstanceDir() { return BaseDirPath("tomcat"); }

std::string RenderServletServerXml(const std::string& secret) {
  std::string port = std::to_string(kServletAjpPort);
  std::string text =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!-- Written by the portal's service at every start; changes are lost. -->\n"
      // No shutdown port: the service that started the container stops it.
      "<Server port=\"-1\" shutdown=\"SHUTDOWN\">\n"
      "  <Service name=\"Catalina\">\n"
      "    <Connector protocol=\"AJP/1.3\" address=\"127.0.0.1\" port=\"" + port +
      "\" secretRequired=\"true\" secret=\"" + secret + "\" redirectPort=\"-1\" />\n";
  // Benchmarks compare the portal's way in with the container's own.
  if (const char* http = getenv("KELSVC_TEST_TOMCAT_HTTP_PORT"); http && atoi(http) > 0)
    text += "    <Connector protocol=\"HTTP/1.1\" address=\"127.0.0.1\" port=\"" + std::to_string(atoi(http)) +
            "\" redirectPort=\"-1\" />\n";
  text +=
      "    <Engine name=\"Catalina\" defaultHost=\"localhost\">\n"
      // Applications are exploded directories under webapps/, deployed at
      // each start; the container never writes there.
      "      <Host name=\"localhost\" appBase=\"webapps\" unpackWARs=\"false\" autoDeploy=\"false\" "
      "createDirs=\"false\">\n"
      // Error pages name neither the container nor its version.
      "        <Valve className=\"org.apache.catalina.valves.ErrorReportValve\" showReport=\"false\" "
      "showServerInfo=\"false\" />\n"
      "      </Host>\n"
      "    </Engine>\n"
      "  </Service>\n"
      "</Server>\n";
  return text;
}

std::string RenderServletProxyConf(const std::vector<std::string>& apps, const std::string& secret) {
  std::string text = "# Written by the portal's service at every start; changes are lost.\n";
  std::string backend = "ajp://127.0.0.1:" + std::to_string(kServletAjpPort) + "/";
  // retry=0: a container started again is used at once, not after the
  // minute a failed connection would otherwise bar it.
  for (const std::string& app : apps) {
    text += "ProxyPass /" + app + "/ " + backend + app + "/ secret=" + secret + " retry=0\n";
    // The application's own name leads into it, as the container would lead.
    std::string pattern;
    for (char c : app) pattern += c == '.' ? std::string("\\.") : std::string(1, c);
    text += "RedirectMatch 301 ^/" + pattern + "$ /" + app + "/\n";
  }
  return text;
}

std::string ServletInstallDir() { return g_installDir; }

bool IsServletContainerRequired() {
  bool required = false;
  ForEachServletRegistration([&](const std::string&, const std::string&) {
    required = true;
    return false;
  });
  return required;
}

std::vector<std::string> ServletApplications() {
  std::vector<std::string> names;
  ForEachServletRegistration([&](const std::string& file, const std::string& name) {
    if (!MountableName(name)) {
      ServiceLog(2, "PrepareServletContainer: the web application \"%s\" of %s cannot be mounted at a URL of its own; "
                 "it is left out.", name.c_str(), file.c_str());
      return true;
    }
    for (const std::string& n : names)
      if (n == name) return true;
    names.push_back(name);
    return true;
  });
  return names;
}

std::optional<std::string> FindJreHome() {
  const char* env = getenv("JAVA_HOME");
  if (env && strlen(env) > 1) return std::string(env);
  char resolved[PATH_MAX];
  if (realpath(g_defaultJava.c_str(), resolved)) return std::string(resolved);
  return std::nullopt;
}

bool CheckJre(const std::string& dir) { return !dir.empty() && Readable(Under(dir, kJvmLibrary)); }

void SetJvmLocation() {
  const char* jre = getenv("JAVA_HOME");
  std::string library = jre && *jre ? Under(jre, kJvmLibrary) : "";
  if (!library.empty() && access(library.c_str(), F_OK) == 0)
    setenv("JVMDLL_LOCATION", library.c_str(), 1);
  else
    unsetenv("JVMDLL_LOCATION");  // what an earlier read found is no longer true
}

bool CheckServletContainer(const std::string& installDir) {
  for (const char* file : kContainerFiles)
    if (!Readable(Under(installDir, file))) return false;
  return true;
}

int WriteServletSettings(bool detect) {
  std::string path = SettingsPath();
  if (!detect && access(path.c_str(), F_OK) == 0) return 0;
  std::optional<std::string> jre;
  if (detect) jre = FindJreHome();
  MakeParentDirs(path.c_str());
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<servlet-container-for-kel>\n<jre>" +
                     HtmlEscape(jre.value_or("")) + "</jre>\n</servlet-container-for-kel>";
  // Root starts the runtime it names: root's alone to write.
  if (WriteProtectedFileAs(path.c_str(), text.data(), text.size(), kRootReadFileMode, KelOwner::kRoot) != 0) return 1;
  if (detect && !jre)
    ServiceLog(0,
               "Configuration file is missing and J2SE JRE path was not found, a default configuration file without "
               "J2SE JRE path has been generated for proper startup.");
  else
    ServiceLog(0, "Configuration file is missing, a default configuration file has been generated for proper startup.");
  return 0;
}

namespace {

bool PrepareSteps() {
  if (!IsServletContainerRequired()) return false;
  ServiceLog(0, "Tomcat is required.");
  if (BaseDirPath().empty()) {
    ServiceLog(3, "The system could not determine the KEL directory.");
    return false;
  }
  std::string install = ServletInstallDir();
  if (!CheckServletContainer(install)) {
    ServiceLog(3, "The Tomcat is required but it is not installed.");
    return false;
  }

  std::string path = SettingsPath();
  WriteServletSettings(false);
  std::optional<std::string> jre = ReadJreText(path);
  if (!jre) {
    WriteServletSettings(true);
    jre = ReadJreText(path);
  }
  if (!jre) {
    ServiceLog(3, "The JRE element is not defined in jkelpd.xml file.");
    return false;
  }
  if (!CheckJre(*jre)) {
    WriteServletSettings(true);
    jre = ReadJreText(path).value_or("");
    if (!CheckJre(*jre)) {
      ServiceLog(3, "The directory \"%s\" does not have a \"J2SE JRE\".", jre->c_str());
      return false;
    }
  }

  std::string instance = ServletInstanceDir();
  setenv("JAVA_HOME", jre->c_str(), 1);
  setenv("CATALINA_HOME", install.c_str(), 1);
  setenv("CATALINA_BASE", instance.c_str(), 1);
  setenv("TOMCAT_HOME", instance.c_str(), 1);
  setenv("SERVERROOT", BaseDirPath().c_str(), 1);
  SetJvmLocation();

  // One secret for both ends, new at every read: a restart of the web
  // server goes with a restart of the container.
  std::string secret = RandomSecret();
  std::vector<std::string> apps = ServletApplications();
  if (secret.empty() || !PrepareInstanceDirectories(instance) ||
      !WriteProtectedText(instance + "/conf/server.xml", RenderServletServerXml(secret))) {
    ServiceLog(3, "Error to generate the \"server.xml\" file.");
    return false;
  }
  if (!WriteDefaultWebXml(instance)) {
    ServiceLog(3, "Error to generate the \"web.xml\" file.");
    return false;
  }
  if (!WriteProtectedText(BaseDirPath("conf/kel-ajp.conf"), RenderServletProxyConf(apps, secret))) {
    ServiceLog(3, "Error to generate the \"kel-ajp.conf\" file.");
    return false;
  }
  g_preparedJre = *jre;
  return true;
}

bool g_prepared = false;

}  // namespace

bool PrepareServletContainer() {
  g_prepared = PrepareSteps();
  return g_prepared;
}

bool ServletContainerPrepared() { return g_prepared; }

std::string PreparedJreHome() { return g_preparedJre; }

void HoldBackServletContainer(bool hold) { g_heldBack = hold; }
bool ServletContainerHeldBack() { return g_heldBack; }
