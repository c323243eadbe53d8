// Which INI files the aggregation reads: the portal's own oldhelp.ini, then
// every INI file in the two directories of each active legacy agent.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "apr_strings.h"
#include "bc_ini.h"
#include "kel_files.h"

namespace {

constexpr char kAgentServer[] = "Dornik HTTP Server";
constexpr size_t kAgentServerLength = sizeof kAgentServer - 1;
constexpr int kReservedElements = 15;

VexoIniSection* AddElement(apr_array_header_t* list, const char* file, const char* vexoName, const char* dir) {
  auto* e = static_cast<VexoIniSection*>(apr_array_push(list));
  memset(e, 0, sizeof *e);
  snprintf(e->iniFileName, sizeof e->iniFileName, "%s", file);
  snprintf(e->vexoName, sizeof e->vexoName, "%s", vexoName);
  snprintf(e->iniDirectory, sizeof e->iniDirectory, "%s", dir);
  return e;
}

// ".ini" from the name's first dot on: a.b.ini is not an INI file here.
bool IsIniName(const char* name) {
  const char* dot = strchr(name, '.');
  return dot && strcasecmp(dot, ".ini") == 0;
}

// The key of a path in the set of taken files: lower case, one "/" between
// pieces, so "dir/" and "dir" name the same file.
std::string PathKey(const std::string& path) {
  std::string key;
  for (char c : path) {
    if (c == '/' && !key.empty() && key.back() == '/') continue;
    key += static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return key;
}

// The directory's entries in name order, whatever order the file system
// keeps, so that the merged files do not depend on it. A listing that
// fails is tried once more.
bool ListDirectory(const std::string& pattern, std::vector<std::string>* names) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    KelFindData entry;
    intptr_t h = FindFileFirst(pattern.c_str(), &entry);
    if (h == -1) continue;
    do {
      if (!entry.isDir) names->push_back(entry.name);
    } while (FindFileNext(h, &entry) == 0);
    FindFileClose(h);
    std::sort(names->begin(), names->end(),
              [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) < 0; });
    return true;
  }
  return false;
}

void ScanDirectory(apr_array_header_t* list, const char* dir, const WebApp& app,
                   std::unordered_set<std::string>* taken, const BcLogSink& log) {
  // An agent that reported no directory has nothing to scan (rather than
  // the root of the file system).
  if (!dir[0]) return;
  std::string pattern = std::string(dir) + "/*.*";
  BcLog(log, BcLogKind::kDebugOrv, "processVEXOIniFiles: search for='%s'\n", pattern.c_str());
  std::vector<std::string> names;
  if (!ListDirectory(pattern, &names)) return;
  for (const std::string& name : names) {
    BcLog(log, BcLogKind::kDebugOrv, "processVEXOIniFiles: fileName=%s,", name.c_str());
    if (!IsIniName(name.c_str())) continue;
    BcLog(log, BcLogKind::kDebugOrv, "processVEXOIniFiles:\nINI filename=%s\n", name.c_str());
    // The portal's own legacy INI file, mirrored into the agents' directories.
    if (strcasecmp(name.c_str(), "drkvexd.ini") == 0) continue;
    if (!taken->insert(PathKey(std::string(dir) + "/" + name)).second) continue;
    BcLog(log, BcLogKind::kDebugOrv, "processVEXOIniFiles:adding inifile, fileInformation.Name=%s,", name.c_str());
    std::string vexoName = std::string("/") + app.sAppName;
    AddElement(list, name.c_str(), vexoName.c_str(), dir);
  }
}

}  // namespace

apr_array_header_t* CollectVexoIniFiles(apr_pool_t* pool, const WebApp* apps, int count, const std::string& helpDir,
                                        std::vector<std::string>* unlist, const BcLogSink& log) {
  apr_array_header_t* list = apr_array_make(pool, kReservedElements, sizeof(VexoIniSection));
  AddElement(list, "oldhelp.ini", "nonVEXO", helpDir.c_str());
  std::unordered_set<std::string> taken;
  for (int i = 0; apps && i < count; ++i) {
    const WebApp& app = apps[i];
    if (app.isactive && strncmp(app.httpServer, kAgentServer, kAgentServerLength) == 0) {
      ScanDirectory(list, app.extensionBase, app, &taken, log);
      ScanDirectory(list, app.vexoHomeDirectory, app, &taken, log);
    } else if (app.aliveCheck) {
      unlist->push_back(app.sAppName);
    }
  }
  return list;
}
