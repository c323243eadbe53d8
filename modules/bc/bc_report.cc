// What an agent says of itself: its status report entry, its extension
// base, and the map lines that make it reachable by name.
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bc_core.h"
#include "kel_files.h"
#include "kel_text.h"

namespace {

constexpr const char* kHttpServer = "Dornik HTTP Server";
constexpr size_t kMaxFields = 256;

template <size_t N>
void Copy(char (&field)[N], const char* value) {
  snprintf(field, N, "%s", value);
}

// The portal's own first path segments: an agent of that name would take
// over the portal's pages (the login form among them) through the map.
constexpr const char* kReservedNames[] = {"proxy", "cimom", "qxhelp", "cgi-bin"};
constexpr const char* kDocumentRoots[] = {"data/htdocs", "data/isdocs"};

}  // namespace

std::string VexoMapLines(const char* name, int port) {
  char line[512];
  snprintf(line, sizeof line, "%s http://127.0.0.1:%d \n", name, port);
  std::string as = line, lower = line, upper = line;
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return as + lower + upper;
}

bool VexoNameIsMapKey(const char* name, const std::string& baseDir) {
  if (!name || !*name || strcmp(name, ".") == 0 || strcmp(name, "..") == 0) return false;
  for (const char* p = name; *p; ++p)
    if (!isalnum(static_cast<unsigned char>(*p)) && !strchr("-._~", *p)) return false;
  for (const char* reserved : kReservedNames)
    if (strcasecmp(name, reserved) == 0) return false;
  for (const char* root : kDocumentRoots) {
    // The directory scan compares names without regard to case, as the map
    // holds the name in every case.
    KelFindData entry;
    std::string pattern = baseDir + "/" + root + "/" + name;
    intptr_t h = FindFileFirst(pattern.c_str(), &entry);
    if (h != -1) {
      FindFileClose(h);
      return false;
    }
  }
  return true;
}

bool ParseVexoReport(const char* report, int port, WebApp* app, BcTrace* trace) {
  if (!report) return false;
  BcTraceLog(trace, BcLogKind::kDebug, "\nPort %d, DATArecv:\n%s\n", port, report);
  // The first ISAPIExtension belongs to the report's leading block; the
  // agent's own entry starts at the next one.
  const char* first = strstr(report, "ISAPIExtension");
  const char* entry = first && strlen(first) >= 20 ? strstr(first + 20, "ISAPIExtension=") : nullptr;
  if (!entry) {
    BcTraceLog(trace, BcLogKind::kDebug, "addVEXOtoWebAppList: dataPTR=NULL!");
    return false;
  }
  std::vector<char> text(entry, entry + strlen(entry) + 1);
  for (size_t i = 0; i + 1 < text.size(); ++i)
    if (text[i] == '\r' && text[i + 1] == '\n') text[i] = '&', text[i + 1] = ' ';
  char* fields[kMaxFields];
  int count = splitFieldsTrimStopAll(text.data(), fields, kMaxFields, "&");

  memset(app, 0, sizeof *app);
  app->isactive = 1;
  app->hidden = 0;
  app->vexoPort = static_cast<unsigned>(port);
  Copy(app->httpServer, kHttpServer);
  bool named = false;
  for (int i = 0; i < count; ++i) {
    char* eq = strchr(fields[i], '=');
    if (!eq) continue;
    *eq = '\0';
    const char* key = fields[i];
    const char* value = eq + 1;
    if (strcasecmp(key, "ISAPIExtension") == 0) {
      if (named) break;
      named = true;
      Copy(app->sAppName, *value ? value + 1 : value);
      snprintf(app->cimomurl, sizeof app->cimomurl, "/%s/cimom", app->sAppName);
      app->cimom = 1;
      Copy(app->marketname, app->sAppName);
      BcTraceLog(trace, BcLogKind::kDebug, "addVEXOtoWebAppList: webApp->sAppName=%s", app->sAppName);
    } else if (strcasecmp(key, "ROOTUrl") == 0) {
      Copy(app->entryurl, value);
    } else if (strcasecmp(key, "VEXOName") == 0) {
      Copy(app->marketname, value);
    } else if (strcasecmp(key, "HTTPServer") == 0) {
      Copy(app->httpServer, value);
    } else if (strcasecmp(key, "CIMOM") == 0) {
      app->cimom = atoi(value);
    } else if (strcasecmp(key, "Hidden") == 0) {
      app->hidden = strcasecmp(value, "Yes") == 0 ? 1 : 0;
    }
  }
  if (!app->sAppName[0]) {
    BcTraceLog(trace, BcLogKind::kDebug, "addVEXOtoWebAppList: extension not found, retval=%d!", 0);
    return false;
  }
  return true;
}

void ApplyExtensionBase(const char* body, WebApp* app) {
  // The directories keep "/": they are opened, never shown.
  Copy(app->extensionBase, body);
  const char* html = strstr(body, "html");
  if (!html) return;
  // Up to the separator before "html": .../agent/html/ gives .../agent.
  std::string home(body, html > body ? static_cast<size_t>(html - body - 1) : 0);
  Copy(app->vexoHomeDirectory, home.c_str());
  size_t length = strlen(app->vexoHomeDirectory);
  if (strstr(app->vexoHomeDirectory, "ravlend") && length + 3 < sizeof app->vexoHomeDirectory)
    strcat(app->vexoHomeDirectory, "/sm");
}
