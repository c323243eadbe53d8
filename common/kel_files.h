// File helpers: opening files whatever their protection, directory scans,
// atomic replacement, and the protection of generated files.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

// fopen with the file's read-only state (no owner write bit) lifted for the
// open and put back afterwards, whether or not the open succeeded.
FILE* OpenFileUnprotected(const char* path, const char* mode);

// The owner of a stdio stream: closed on every path out of its scope.
struct FileClose {
  void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileClose>;

// When the file is read-only, adds the owner write bit and returns the whole
// previous mode word (never 0 for an existing file); otherwise, or when the
// file does not exist, returns 0 and changes nothing.
unsigned ClearFileProtection(const char* path);
// Puts back a mode word from ClearFileProtection; does nothing for 0.
void RestoreFileProtection(const char* path, unsigned attributes);

// Mode 0600 before a file is deleted or overwritten; 1 on success, 0 on failure.
int MakeWritable(const char* path);
// Copies from over to (replacing it atomically, with from's mode);
// non-zero on success.
int CopyFileOver(const char* from, const char* to);
// One directory; 0 on success, -1 on failure.
int MakeDir(const char* path);
int RemoveDir(const char* path);

// Directory scan over a pattern such as "dir/*.xml" (the pattern applies to
// the last component, without regard to case; "." and ".." are left out).
struct KelFindData {
  char name[260];  // file name without directory
  bool isDir;
  off_t size;
};
// Returns a handle, or -1 when nothing matches or the directory cannot be read.
intptr_t FindFileFirst(const char* pattern, KelFindData* entry);
// 0 while entries remain, -1 at the end.
int FindFileNext(intptr_t handle, KelFindData* entry);
int FindFileClose(intptr_t handle);

// Calls fn with the name of every file (not directory) that matches the
// pattern, in directory order.
void ForEachFile(const char* pattern, const std::function<void(const char* name)>& fn);

// Replaces path with the bytes: a temporary file in the same directory is
// written and flushed to disk, then renamed over path, so a reader sees the
// old file or the new one, never a part. An existing file's mode and owner
// are kept; a new file gets newMode. With forceMode the file gets newMode
// even when it replaces one (a private key never inherits a wider mode).
// 0 on success, -1 on failure.
int AtomicWriteFile(const char* path, const void* data, size_t size, mode_t newMode = 0660, bool forceMode = false);

// AtomicWriteFile in two steps, for a caller that must prepare several
// files before it replaces any: StageFile writes the bytes, flushed to
// disk, to a new temporary file beside path (path + ".staged<pid>.XXXXXX",
// the writer's process id and a unique ending; modes as AtomicWriteFile
// chooses them) and gives its name in staged; then
// CommitStagedFile renames it over a target in the same directory (path or
// another) and makes the rename durable, or DiscardStagedFile removes it.
// 0 on success, -1 on failure (the staged file is then gone).
int StageFile(const char* path, const void* data, size_t size, mode_t newMode, bool forceMode, std::string* staged);
int CommitStagedFile(const std::string& staged, const char* target);
void DiscardStagedFile(const std::string& staged);

// Whether name (without directory) is a temporary file of StageFile; writer
// gets the process that made it.
bool IsStagedFileName(const char* name, pid_t* writer = nullptr);
// Removes from dir the temporary files of StageFile whose writer has ended:
// one killed between writing and renaming leaves its file behind, while a
// writer that still runs is in the middle of its write and keeps it. Calls
// removed with the path of each file removed. Returns how many it could not
// remove (another account's, in a directory with the sticky bit).
int RemoveOrphanedStagedFiles(const char* dir, const std::function<void(const std::string& path)>& removed);

namespace kel::testing {
// Called with the temporary file's path after it is written and synced and
// before the rename; lets a test end the writer at that moment.
void SetBeforeRenameHook(void (*hook)(const char* tmpPath));
}  // namespace kel::testing

// Administrators-only protection: owner root, group qxkel, nothing for others
// (files 0660, directories 0770). Protects the base directory, then path.
// The base directory itself gets 0750: were it writable by the group, the
// workers could rename conf/ away and put a directory of their own there.
// Returns 1 when both were protected, 0 otherwise (also on a file system
// that does not keep POSIX modes). Without root rights only the mode is set.
// A symbolic link is never followed: it is refused.
int ProtectFile(const char* path);
// The same with an explicit mode for path (directories still get 0770).
int ProtectFileMode(const char* path, mode_t mode);

// The base directory alone: 0750 root:qxkel. 1 on success.
int ProtectBaseDir();

// Who owns a protected path. kRoot: root decides alone. kWorkers: owner
// qxkel, for files the web server's workers replace themselves (in a
// directory with the sticky bit only the owner may rename over a file).
enum class KelOwner { kRoot, kWorkers };
// Owner, group qxkel (root's own group for a mode without group bits) and
// exactly mode, for a file or a directory; the base directory is not
// touched. Never through a symbolic link. 1 on success, 0 otherwise.
int ProtectPath(const char* path, mode_t mode, KelOwner owner);

// A generated or settings file: replaced atomically, then protected.
// 0 on success, -1 when it cannot be written (the old file stays).
int WriteProtectedFile(const char* path, const void* data, size_t size);
// The same with an exact mode and owner for the new file.
int WriteProtectedFileAs(const char* path, const void* data, size_t size, mode_t mode, KelOwner owner);
