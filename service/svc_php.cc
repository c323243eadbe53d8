// php.ini, its extensions, the legacy map file and the session directories.
#include <strings.h>

#include <cstdio>
#include <string>

#include "kel_dirs.h"
#include "kel_files.h"
#include "kel_xml.h"
#include "svc_config.h"
#include "svc_log.h"

PhpExtension g_phpExtensionTable[4] = {
    {"DOMXML", "extension=php_domxml\n", true, false},
    {"OPENSSL", "extension=php_openssl\n", false, false},
    {"CURL", "extension=php_curl\n", false, false},
    {"XSLT", "extension=php_xslt\n", false, false},
};

int WritePhpIni() {
  std::string base = BaseDirPath();
  std::string path = base + "/bin/php.ini";
  std::string text = "extension_dir=" + base + "/modules/\n";
  text += "session.save_path=" + base + "/session/php\n";
  text += "max_execution_time=60\n";
  for (const PhpExtension& e : g_phpExtensionTable)
    if (e.always || e.requested) text += e.line;
  text += "\n;Error Report\nerror_reporting = E_COMPILE_ERROR|E_ERROR|E_CORE_ERROR|E_PARSE\n";
  return WriteProtectedFileAs(path.c_str(), text.data(), text.size(), kRootReadFileMode, KelOwner::kRoot) == 0 ? 1 : 0;
}

void ScanPhpExtensions() {
  for (PhpExtension& e : g_phpExtensionTable) e.requested = false;
  std::string dir = KelSharedPath(KelShared::kWebAppDir);
  ForEachFile((dir + "/*.xml").c_str(), [&dir](const char* name) {
    std::string path = dir + "/" + name;
    std::unique_ptr<kel::XmlDocument> doc = kel::XmlDocument::Load(path.c_str());
    if (!doc) {
      ServiceLog(2, "Failed to parse webapp configuration file %s.", path.c_str());
      return;
    }
    for (kel::XmlNode ext : kel::XmlFindByTag(doc->DocumentNode(), "extension")) {
      const char* extName = kel::XmlGetAttribute(ext, "name");
      if (!extName) continue;
      for (PhpExtension& e : g_phpExtensionTable)
        if (strcasecmp(extName, e.name) == 0) e.requested = true;
    }
  });
}

int ResetLegacyMapFile() {
  std::string path = KelSharedPath(KelShared::kLegacyMapFile);
  // Replaced, not truncated through whatever the name points at; the
  // legacy module rewrites it, so the workers own it.
  return WriteProtectedFileAs(path.c_str(), "", 0, kWorkerFileMode, KelOwner::kWorkers) == 0 ? 0 : 1;
}

void CreateSessionDirectories() {
  std::string session = BaseDirPath("session");
  MakeDir(session.c_str());
  ProtectFile(session.c_str());
  std::string php = session + "/php";
  MakeDir(php.c_str());
  ProtectFile(php.c_str());
}

void ProtectWritableDirectories() {
  char write[kKelPathMax], certs[kKelPathMax], ssl[kKelPathMax];
  GetWriteDir(write, sizeof write);
  GetCertsDir(certs, sizeof certs);
  GetSslShareDir(ssl, sizeof ssl);
  const struct {
    std::string dir;
    mode_t mode;
  } dirs[] = {
      {std::string(write) + "/conf", kStickyDirMode},
      {ssl, kStickyDirMode},
      {BaseDirPath("data"), kStickyDirMode},
      {std::string(write) + "/logs", kWorkerDirMode},
      {certs, kWorkerDirMode},
      // The workers write the merged legacy help beside the portal's own
      // help files, which the sticky bit keeps theirs alone.
      {KelSharedPath(KelShared::kLegacyHelpDir), kStickyDirMode},
  };
  for (const auto& d : dirs) {
    MakeDir(d.dir.c_str());
    ProtectBaseDir();
    ProtectPath(d.dir.c_str(), d.mode, KelOwner::kRoot);
  }
  // The merged legacy navigation is rewritten in place by the workers; its
  // directory stays root's.
  std::string nav = KelSharedPath(KelShared::kLegacyNavFile);
  WriteProtectedFileAs(nav.c_str(), "", 0, kWorkerFileMode, KelOwner::kWorkers);
}
