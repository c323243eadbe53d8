// Installation directories and path text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Buffers passed by callers of this system (the Windows path limit the records keep).
constexpr size_t kKelPathMax = 260;

// Each fills buf (bounded by size) and returns it. An environment variable,
// when set, is copied unchanged; otherwise the default under /opt is built.
char* GetBaseDir(char* buf, size_t size);      // KELSVC_BASE_DIR, /opt/qx/qxkel
char* GetWriteDir(char* buf, size_t size);     // KELSVC_WRITE_DIR, /opt/qx/qxkel
char* GetWbemDir(char* buf, size_t size);      // KELSVC_WBEM_DIR, /opt/dornik/wbem
char* GetCertsDir(char* buf, size_t size);     // KelSharedPath(KelShared::kCertsDir)
char* GetSslShareDir(char* buf, size_t size);  // SSL_SHARE_BASE_DIR, /opt/qx/sslshare

// The same directories as text to build paths on, with name joined by one
// "/" when given: the one way the portal's own code gets them.
std::string BaseDirPath(const char* name = nullptr);
std::string WriteDirPath(const char* name = nullptr);
std::string WbemDirPath(const char* name = nullptr);
std::string SslShareDirPath(const char* name = nullptr);

// The files and directories that the service program, the modules and the
// tools share. Each has one home, so that with KELSVC_WRITE_DIR different
// from KELSVC_BASE_DIR every side still finds the same file: what the
// portal changes while it runs is under the write directory; the trusted
// certificate directory stays in the base directory, where the
// certificate-directory rule puts it.
enum class KelShared {
  kSettingsFile,   // <write>/conf/kelpd.xml
  kDebugSwitches,  // <write>/conf/debug.ini
  kDiagnosticLog,  // <write>/logs/kel.log
  kLegacyMapFile,  // <write>/conf/vexolist.map
  kWebAppDir,      // <write>/webapp, the registration files
  kRunDir,         // <write>/run, the service's control socket and lock
  kCertsDir,       // <base>/certs
  kLegacyNavFile,  // <write>/data/htdocs/navfile.htm, the merged legacy navigation
  kLegacyHelpDir,  // <write>/data/help, the portal's old help and the merged help files
};
std::string KelSharedPath(KelShared which);

// Every directory in which the service, the modules or the tools replace
// files whole (through a temporary file beside the file): where a writer
// that ended in the middle of a write can have left that temporary file.
std::vector<std::string> KelReplacedFileDirs();

// In-place separator conversion; a null text is returned unchanged. Only for
// texts that are shown; paths given to the file system keep "/".
char* ToForwardSlashes(char* text);
char* ToBackSlashes(char* text);

// Splits a path into drive, directory, name and extension. Any buffer may be
// null; a null size pointer means "large enough". Sizes hold the capacity on
// entry and the size each part needs (length + 1) on return. Returns 1 when
// every wanted part that the path has was copied, 0 when one did not fit (its
// buffer is left empty) or the path is null.
int SplitPath(const char* path, char* drive, size_t* driveSize, char* dir, size_t* dirSize, char* name,
              size_t* nameSize, char* ext, size_t* extSize);

// Creates the first missing directory on the way to path (a last piece with a
// "." is taken to be the file name). 0 on success or when nothing was missing,
// 1 when creating the directory failed.
int MakeParentDirs(const char* path);

// Joins a directory and a relative name with one "/".
void JoinPath(char* buf, size_t size, const char* dir, const char* name);
