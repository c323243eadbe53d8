// The merged navigation file and the places of the merged files.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "bc_help.h"
#include "cfg_locks.h"
#include "kel_dirs.h"
#include "kel_fd.h"

namespace {

bool WriteAt0(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return ftruncate(fd, static_cast<off_t>(bytes.size())) == 0;
}

// The file keeps its owner and mode (the workers own it; the directory is
// root's): it is rewritten in place, in one write. When the new text does
// not fit (a full disk), the old one goes back: the room it took is still
// the file's.
bool WriteInPlace(const std::string& path, const std::string& bytes) {
  kel::ScopedFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660));
  if (!fd.Valid()) return false;
  std::string old;
  char chunk[8192];
  ssize_t n;
  while ((n = pread(fd.Get(), chunk, sizeof chunk, static_cast<off_t>(old.size()))) > 0) old.append(chunk, n);
  if (WriteAt0(fd.Get(), bytes)) return true;
  WriteAt0(fd.Get(), old);
  return false;
}

}  // namespace

BcMergedPaths BcMergedFilePaths() {
  std::string help = KelSharedPath(KelShared::kLegacyHelpDir);
  return {KelSharedPath(KelShared::kLegacyNavFile), help + "/drkhelp.hhc", help + "/drkhelp.hhk",
          help + "/drkhelp.hhs"};
}

int ResetNavigationFileAt(const std::string& path, const BcLogSink&) {
  KelLockHold hold(g_bcLocks.navFile, true);
  if (WriteInPlace(path, kNavFileHeader)) return 1;
  LogOutput(2, "Unable to clear navfile.");
  return 0;
}

// The whole file is made first and written at once: a page reads the old
// navigation or the new, not one block at a time.
void buildAggregateNavigationFile(const apr_array_header_t* list, const std::string& path, const BcLogSink& log) {
  BcLog(log, BcLogKind::kDebugOrv, "buildAggregateNavigationFile: navFile=%s\n", path.c_str());
  std::string text = kNavFileHeader;
  const auto* elements = reinterpret_cast<const VexoIniSection*>(list->elts);
  for (int i = 0; i < list->nelts; ++i) {
    const VexoIniSection& e = elements[i];
    if (!e.NavigationFile) continue;
    std::string source = BcFileUnder(e.iniDirectory, e.NavigationFile);
    BcLog(log, BcLogKind::kDebugOrv, "buildAggregateNavigationFile: sourceFile=%s\n", source.c_str());
    std::string block = BcPrintf(
        "\r\n//--------------------------------------------------\r\n//VEXONAME = %s \r\n"
        "//NAVIGATION FILE = %s\r\n//DESCRIPTION = %s\r\n",
        e.vexoName, source.c_str(), e.Description ? e.Description : "(null)");
    BcLog(log, BcLogKind::kDebugOrv, "buildAggregateNavigationFile: data to be added to navFile:\n%s\n",
          block.c_str());
    text += block;
    // A source that cannot be read leaves its block alone.
    BcReadFile(source, &text);
  }
  KelLockHold hold(g_bcLocks.navFile, true);
  if (!WriteInPlace(path, text)) {
    BcLog(log, BcLogKind::kDebugOrv, "buildAggregateNavigationFile: Cannot open navFile %s\n", path.c_str());
    LogOutput(2, "Unable to write navfile.");
  }
}
