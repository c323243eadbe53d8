// The merged help files: each element's contents, index and search files
// merged in list order, then the three files written, or deleted when the
// last file of their kind failed.
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>

#include "bc_help.h"
#include "cfg_locks.h"

namespace {

// Longer paths were cut by the agents' first platform and opened another
// file; here they are not opened.
constexpr size_t kHelpPathMax = 259;
constexpr int kOutputWaitSeconds = 3;

constexpr char kOldHelp[] = "oldhelp.ini";

// The path of an element's file, or "" when it is too long.
std::string SourcePath(const HelpAggregate& agg, const char* value) {
  std::string path = BcFileUnder(agg.currentHelpFilePath.c_str(), value);
  return path.size() > kHelpPathMax ? std::string() : path;
}

bool ReadSource(const std::string& path, std::string* text) { return !path.empty() && BcReadFile(path, text); }

int Fail(int code, const char* message) {
  LogOutput(2, "%s", message);
  return code;
}

// What must be there before a kind is written; kHelpOk when it is.
int CheckWritable(const HelpAggregate& agg) {
  switch (agg.kind) {
    case kHelpContents:
      if (!agg.root) return Fail(kHelpNoContents, "There are no Table of Contents entries to print.\n");
      if (!agg.hasHeader) return Fail(kHelpNoContentsHeader, "There is no header data for the Table of Contents.\n");
      if (!agg.hasFooter) return Fail(kHelpNoContentsFooter, "There is no footer data for the Table of Contents.\n");
      return kHelpOk;
    case kHelpIndex:
      if (!agg.root) return Fail(kHelpNoIndex, "There are no Index entries to print.\n");
      if (!agg.hasHeader) return Fail(kHelpNoIndexHeader, "There is no header data for the Index.\n");
      if (!agg.hasFooter) return Fail(kHelpNoIndexFooter, "There is no footer data for the Index.\n");
      return kHelpOk;
    default:
      if (!agg.search || agg.search->topics.empty() || agg.search->keywords.empty())
        return Fail(kHelpNoSearch, "There are no search file entries to print.\n");
      return kHelpOk;
  }
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

std::string BcFileUnder(const char* dir, const char* value) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  path += value;
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

bool BcReadFile(const std::string& path, std::string* out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  char chunk[8192];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->append(chunk, n);
  bool ok = !ferror(f);
  fclose(f);
  return ok;
}

void SetHelpSource(HelpAggregate* agg, const VexoIniSection& element, const char* fileValue) {
  agg->oldhelp = strncasecmp(element.iniFileName, kOldHelp, sizeof kOldHelp - 1) == 0;
  agg->agentPrefix = element.vexoName;
  std::string value = fileValue;
  size_t cut = value.rfind('/');
  if (cut == std::string::npos) cut = value.rfind('\\');
  agg->helpSubdir = cut == std::string::npos ? std::string() : value.substr(0, cut);
  for (char& c : agg->helpSubdir)
    if (c == '\\') c = '/';
  agg->currentHelpFilePath = element.iniDirectory;
}

std::string HelpLink(const HelpAggregate& agg, std::string_view text) {
  std::string link = agg.oldhelp ? std::string() : agg.agentPrefix;
  link += '/';
  if (!agg.helpSubdir.empty()) link.append(agg.helpSubdir).append("/");
  return link.append(text);
}

int ProcessContentsFile(const VexoIniSection& element, HelpAggregate* agg) {
  std::string path = SourcePath(*agg, element.HelpContents);
  BcLog(agg->log, BcLogKind::kDebugOrv, "ProcessContentsFile: processing '%s'\n", path.c_str());
  std::string text;
  if (!ReadSource(path, &text)) {
    BcLog(agg->log, BcLogKind::kDebugOrv, "Unable to open file named:  %s.\n", path.c_str());
    return kHelpContentsOpen;
  }
  BcLog(agg->log, BcLogKind::kDebugOrv, "ProcessContentsFile: Sucessfully opened %s.\n", path.c_str());
  return MergeContentsText(agg, text.c_str(), path);
}

int ProcessIndexFile(const VexoIniSection& element, HelpAggregate* agg) {
  std::string path = SourcePath(*agg, element.HelpIndex);
  BcLog(agg->log, BcLogKind::kDebugOrv, "ProcessIndexFile: processing '%s'\n", path.c_str());
  std::string text;
  if (!ReadSource(path, &text)) {
    LogOutput(2, "Unable to open file named:  %s.\n", path.c_str());
    BcLog(agg->log, BcLogKind::kDebugOrv, "ProcessIndexFile: error opening '%s'\n", path.c_str());
    return kHelpIndexOpen;
  }
  return MergeIndexText(agg, text.c_str(), path);
}

int ProcessSearchFile(const VexoIniSection& element, HelpAggregate* agg) {
  std::string path = SourcePath(*agg, element.HelpSearch);
  std::string text;
  if (!ReadSource(path, &text)) {
    LogOutput(2, "Unable to open file named:  %s.\n", path.c_str());
    BcLog(agg->log, BcLogKind::kDebugOrv, "ProcessSearchFile: error opening '%s'\n", path.c_str());
    return kHelpSearchOpen;
  }
  return MergeSearchText(agg, text.c_str());
}

int RenderHelpFile(const HelpAggregate& agg, std::string* out) {
  if (agg.kind == kHelpSearch) {
    if (RenderSearchTables(*agg.search, out) != kHelpOk)
      return Fail(kHelpSearchWrite, "An error occurred while writing the search file.\n");
    return kHelpOk;
  }
  out->append(agg.header);
  if (!RenderHelpTree(agg, out))
    return Fail(kHelpWrite, "An error occurred while writing either the contents or index file.\n");
  out->append("</ul>\r\n").append(agg.footer);
  return kHelpOk;
}

// The file is made whole before it is opened; one that cannot be made
// whole is not written at all (a help viewer cannot read a file that stops
// in the middle of a list).
int WriteHelpfiles(const HelpAggregate& agg, const std::string& path) {
  int status = agg.result;
  if (status == kHelpOk) status = CheckWritable(agg);
  std::string text;
  if (status == kHelpOk) status = RenderHelpFile(agg, &text);
  KelLockHold hold(g_bcLocks.helpFiles, true);
  if (status != kHelpOk) {
    unlink(path.c_str());
    return status;
  }
  int fd = DrkVexoOpenSharedFileWithWait(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, kDrkShareNone, 0600,
                                         kOutputWaitSeconds, agg.log);
  if (fd < 0) {
    BcLog(agg.log, BcLogKind::kDebugOrv, "WriteHelpfiles:Unable to open %s.\n", path.c_str());
    return kHelpContentsOpen;
  }
  BcLog(agg.log, BcLogKind::kDebugOrv, "WriteHelpfiles:Successfully opened %s.\n", path.c_str());
  bool written = WriteAll(fd, text);
  if (close(fd) != 0) written = false;
  if (written) return kHelpOk;
  unlink(path.c_str());
  if (agg.kind == kHelpSearch) return Fail(kHelpSearchWrite, "An error occurred while writing the search file.\n");
  return Fail(kHelpWrite, "An error occurred while writing either the contents or index file.\n");
}

void ResetHelpFilesAt(const BcMergedPaths& paths) {
  KelLockHold hold(g_bcLocks.helpFiles, true);
  for (const std::string* p : {&paths.contents, &paths.index, &paths.search}) unlink(p->c_str());
}

void buildAggregateHelpFiles(const apr_array_header_t* list, const BcMergedPaths& paths, const BcLogSink& log) {
  std::unique_ptr<HelpAggregate> aggs[3];
  const auto* elements = reinterpret_cast<const VexoIniSection*>(list->elts);
  for (int i = 0; i < list->nelts; ++i) {
    const VexoIniSection& e = elements[i];
    const struct {
      const char* value;
      int kind;
      int (*process)(const VexoIniSection&, HelpAggregate*);
    } files[] = {
        {e.HelpContents, kHelpContents, ProcessContentsFile},
        {e.HelpIndex, kHelpIndex, ProcessIndexFile},
        {e.HelpSearch, kHelpSearch, ProcessSearchFile},
    };
    for (const auto& f : files) {
      if (!f.value) continue;
      if (f.kind == kHelpContents) BcLog(log, BcLogKind::kDebugOrv, "HELP: curSection[i].HelpContents=%s\n", f.value);
      if (f.kind == kHelpIndex) BcLog(log, BcLogKind::kDebugOrv, "buildAggregateHelpFiles: processing HelpIndex\n");
      std::unique_ptr<HelpAggregate>& agg = aggs[f.kind - 1];
      if (!agg) agg = std::make_unique<HelpAggregate>(f.kind, log);
      SetHelpSource(agg.get(), e, f.value);
      if (f.kind == kHelpContents)
        BcLog(log, BcLogKind::kDebugOrv, "buildAggregateHelpFiles: contentsRoot->currentHelpFilePath=%s.\n",
              agg->currentHelpFilePath.c_str());
      if (f.kind == kHelpIndex) BcLog(log, BcLogKind::kDebugOrv, "buildAggregateHelpFiles: calling ProcessIndexFile\n");
      agg->result = f.process(e, agg.get());
      if (agg->result != kHelpOk) {
        agg->currentHelpFilePath.clear();
        agg->oldhelp = false;
        if (f.kind == kHelpSearch) agg->agentPrefix.clear();
      }
    }
  }
  if (aggs[0]) GroupContentsRuns(aggs[0].get());
  ResetHelpFilesAt(paths);
  const std::string* outputs[] = {&paths.contents, &paths.index, &paths.search};
  for (int k = 0; k < 3; ++k)
    if (aggs[k]) WriteHelpfiles(*aggs[k], *outputs[k]);
}
