// The servlet container: whether a registered web application needs it, the
// Java runtime it runs on (recorded in conf/jkelpd.xml), the Tomcat
// instance under <base>/tomcat, and the lines that connect the web server
// to it over AJP. Tomcat itself runs as a process of its own, which the
// service supervises (svc_tomcat).
#pragma once

#include <optional>
#include <string>
#include <vector>

// The AJP connector of the instance, on 127.0.0.1 only. Debian's own
// tomcat10 service keeps its usual ports (8080, 8005, 8009).
constexpr int kServletAjpPort = 2391;

// The Tomcat instance (CATALINA_BASE): the base directory and "tomcat".
std::string ServletInstanceDir();
// The installed Tomcat (CATALINA_HOME): Debian's /usr/share/tomcat10.
std::string ServletInstallDir();

// The instance's conf/server.xml: no shutdown port, one AJP connector on
// 127.0.0.1 that wants the secret, no sample applications.
std::string RenderServletServerXml(const std::string& secret);
// conf/kel-ajp.conf: /N/ of each application N passed to the container
// with the secret.
std::string RenderServletProxyConf(const std::vector<std::string>& apps, const std::string& secret);

// True when a registration file asks for the container: a "tomcat" element
// whose value begins with "yes" in any case. Files that do not load are
// skipped without a message.
bool IsServletContainerRequired();
// The names of the web applications whose registration files ask for the
// container, in scan order, each once.
std::vector<std::string> ServletApplications();

// conf/jkelpd.xml under the base directory. Without detect an existing file
// is left as it is; otherwise it is written with the runtime FindJreHome
// gives (empty without detect or when none is found). 0, or 1 when the file
// cannot be created.
int WriteServletSettings(bool detect);
// JAVA_HOME when longer than one character, else the real path of
// /usr/lib/jvm/default-java when it exists.
std::optional<std::string> FindJreHome();
// True when dir holds a JVM library (lib/server/libjvm.so).
bool CheckJre(const std::string& dir);
// JVMDLL_LOCATION: the JVM library of the runtime in JAVA_HOME when it
// exists; otherwise the variable is removed.
void SetJvmLocation();
// True when the installation holds bin/bootstrap.jar and lib/catalina.jar.
bool CheckServletContainer(const std::string& installDir);

// The whole preparation, run at every settings read: true when the
// container is needed and its files are written, so that the connector
// goes into the web server's configuration; false (with a log entry,
// unless no application asks for it) otherwise.
bool PrepareServletContainer();

// What the last preparation decided, and the JRE home it settled on.
bool ServletContainerPrepared();
std::string PreparedJreHome();

// The container that would not stay up is left out of the configuration
// until a restart is asked for again (control 128, SIGHUP, an address
// change): the portal goes on without it meanwhile.
void HoldBackServletContainer(bool hold);
bool ServletContainerHeldBack();

namespace kel::testing {
// Where the installed Tomcat and the system's default Java runtime are
// looked for; null keeps the platform's place.
void SetServletPlaces(const char* installDir, const char* defaultJava);
}  // namespace kel::testing
