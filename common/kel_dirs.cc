#include "kel_dirs.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What the Windows version's "drive prefix" is on this platform.
constexpr const char* kDrivePrefix = "/opt";

char* FromEnvOrDefault(char* buf, size_t size, const char* var, const char* format) {
  if (!buf || size == 0) return buf;
  const char* value = var ? getenv(var) : nullptr;
  if (value)
    snprintf(buf, size, "%s", value);
  else
    snprintf(buf, size, format, kDrivePrefix);
  return buf;
}

}  // namespace

char* GetBaseDir(char* buf, size_t size) { return FromEnvOrDefault(buf, size, "KELSVC_BASE_DIR", "%s/qx/qxkel"); }
char* GetWriteDir(char* buf, size_t size) { return FromEnvOrDefault(buf, size, "KELSVC_WRITE_DIR", "%s/qx/qxkel"); }
// The legacy agents' home has no variable of its own in production; tests
// point it elsewhere.
char* GetWbemDir(char* buf, size_t size) { return FromEnvOrDefault(buf, size, "KELSVC_WBEM_DIR", "%s/dornik/wbem"); }
char* GetSslShareDir(char* buf, size_t size) {
  return FromEnvOrDefault(buf, size, "SSL_SHARE_BASE_DIR", "%s/qx/sslshare");
}

namespace {

struct SharedHome {
  KelShared which;
  bool writeDir;  // else the base directory
  const char* relative;
};
constexpr SharedHome kSharedHomes[] = {
    {KelShared::kSettingsFile, true, "conf/kelpd.xml"},
    {KelShared::kDebugSwitches, true, "conf/debug.ini"},
    {KelShared::kDiagnosticLog, true, "logs/kel.log"},
    {KelShared::kLegacyMapFile, true, "conf/vexolist.map"},
    {KelShared::kWebAppDir, true, "webapp"},
    {KelShared::kRunDir, true, "run"},
    {KelShared::kCertsDir, false, "certs"},
    {KelShared::kLegacyNavFile, true, "data/htdocs/navfile.htm"},
    {KelShared::kLegacyHelpDir, true, "data/help"},
};

}  // namespace

std::string KelSharedPath(KelShared which) {
  for (const SharedHome& h : kSharedHomes) {
    if (h.which != which) continue;
    char dir[kKelPathMax];
    if (h.writeDir)
      GetWriteDir(dir, sizeof dir);
    else
      GetBaseDir(dir, sizeof dir);
    return std::string(dir) + "/" + h.relative;
  }
  return "";
}

std::vector<std::string> KelReplacedFileDirs() {
  std::vector<std::string> dirs;
  auto add = [&dirs](const std::string& d) {
    for (const std::string& have : dirs)
      if (have == d) return;
    dirs.push_back(d);
  };
  for (const std::string& root : {WriteDirPath(), BaseDirPath()})
    for (const char* sub : {"conf", "logs", "run", "webapp", "bin", "data", "data/htdocs", "data/help"})
      add(root + "/" + sub);
  add(KelSharedPath(KelShared::kCertsDir));
  add(SslShareDirPath());
  // The legacy settings mirror.
  add(WbemDirPath("homepage"));
  return dirs;
}

char* GetCertsDir(char* buf, size_t size) {
  if (!buf || size == 0) return buf;
  snprintf(buf, size, "%s", KelSharedPath(KelShared::kCertsDir).c_str());
  return buf;
}

char* ToForwardSlashes(char* text) {
  if (text)
    for (char* p = text; *p; ++p)
      if (*p == '\\') *p = '/';
  return text;
}

char* ToBackSlashes(char* text) {
  if (text)
    for (char* p = text; *p; ++p)
      if (*p == '/') *p = '\\';
  return text;
}

namespace {

// Copies [begin, begin+len) when it fits; always reports the size it needs.
bool CopyPart(const char* begin, size_t len, char* out, size_t* size, size_t capacity) {
  if (!out) return true;
  if (size) *size = len + 1;
  if (len == 0) return true;
  if (len >= capacity) return false;
  memcpy(out, begin, len);
  out[len] = '\0';
  return true;
}

}  // namespace

int SplitPath(const char* path, char* drive, size_t* driveSize, char* dir, size_t* dirSize, char* name,
              size_t* nameSize, char* ext, size_t* extSize) {
  struct Out {
    char* buf;
    size_t* size;
    size_t capacity;
  } outs[4] = {{drive, driveSize, 0}, {dir, dirSize, 0}, {name, nameSize, 0}, {ext, extSize, 0}};
  for (Out& o : outs) {
    if (!o.buf) continue;
    o.buf[0] = '\0';
    o.capacity = o.size ? *o.size : SIZE_MAX;
    if (o.size) *o.size = 0;
  }
  if (!path) return 0;

  const char* rest = path;
  size_t driveLen = 0;
  if (const char* colon = strchr(path, ':')) {
    driveLen = colon - path + 1;
  } else if ((path[0] == '\\' && path[1] == '\\') || (path[0] == '/' && path[1] == '/')) {
    // Server and share: up to the separator that follows the share name.
    const char* p = path + 2;
    while (*p && *p != '\\' && *p != '/') ++p;  // server
    if (*p) ++p;
    while (*p && *p != '\\' && *p != '/') ++p;  // share
    driveLen = p - path;
  }
  rest = path + driveLen;

  const char* lastSep = strrchr(rest, '\\');
  if (!lastSep) lastSep = strrchr(rest, '/');
  size_t dirLen = lastSep ? lastSep - rest + 1 : 0;
  const char* file = rest + dirLen;
  const char* dot = strrchr(file, '.');
  size_t nameLen = dot ? dot - file : strlen(file);
  size_t extLen = dot ? strlen(dot) : 0;

  bool ok = CopyPart(path, driveLen, drive, driveSize, outs[0].capacity);
  ok = CopyPart(rest, dirLen, dir, dirSize, outs[1].capacity) && ok;
  ok = CopyPart(file, nameLen, name, nameSize, outs[2].capacity) && ok;
  ok = CopyPart(dot ? dot : "", extLen, ext, extSize, outs[3].capacity) && ok;
  return ok ? 1 : 0;
}

int MakeParentDirs(const char* path) {
  if (!path) return 0;
  std::string copy(path);
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= copy.size()) {
    size_t slash = copy.find('/', start);
    if (slash == std::string::npos) slash = copy.size();
    if (slash > start) pieces.push_back(copy.substr(start, slash - start));
    start = slash + 1;
  }
  // An absolute path stays absolute; the Windows version's drive letter had no root to
  // lose, a Linux path does.
  std::string accumulated = path[0] == '/' ? "/" : "";
  for (size_t i = 0; i < pieces.size(); ++i) {
    const std::string& piece = pieces[i];
    // Only the last piece can be the file name: a directory with a dot in its
    // name elsewhere in the path is still a directory.
    if (i + 1 == pieces.size() && piece.find('.') != std::string::npos) continue;
    accumulated += piece;
    accumulated += '/';
    struct stat st;
    if (stat(accumulated.c_str(), &st) == 0) continue;
    return mkdir(accumulated.c_str(), 0777) == 0 ? 0 : 1;
  }
  return 0;
}

void JoinPath(char* buf, size_t size, const char* dir, const char* name) {
  if (!buf || size == 0) return;
  size_t dl = strlen(dir);
  bool slash = dl > 0 && dir[dl - 1] == '/';
  snprintf(buf, size, "%s%s%s", dir, slash ? "" : "/", name);
}

namespace {

std::string DirPath(char* (*get)(char*, size_t), const char* name) {
  char dir[kKelPathMax];
  get(dir, sizeof dir);
  if (!name) return dir;
  char joined[2 * kKelPathMax];
  JoinPath(joined, sizeof joined, dir, name);
  return joined;
}

}  // namespace

std::string BaseDirPath(const char* name) { return DirPath(GetBaseDir, name); }
std::string WriteDirPath(const char* name) { return DirPath(GetWriteDir, name); }
std::string WbemDirPath(const char* name) { return DirPath(GetWbemDir, name); }
std::string SslShareDirPath(const char* name) { return DirPath(GetSslShareDir, name); }
