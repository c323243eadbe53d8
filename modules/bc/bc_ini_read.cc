// The read-only INI parser of the legacy agents' files.
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "apr_strings.h"
#include "bc_ini.h"
#include "cfg_locks.h"

namespace {

bool IsBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

const char* SkipBlanks(const char* p) {
  while (*p && IsBlank(*p)) ++p;
  return p;
}

const char* LineEnd(const char* p) {
  while (*p && *p != '\r' && *p != '\n') ++p;
  return p;
}

// Copies [from, from + n) into buf, or leaves it empty when it does not fit.
void CopyField(char* buf, size_t size, const char* from, size_t n) {
  if (!buf || size == 0) return;
  if (n >= size) n = 0;
  memcpy(buf, from, n);
  buf[n] = '\0';
}

}  // namespace

char* DrkVexoReadOnlyIniFile(apr_pool_t* pool, const char* path, const BcLogSink& log) {
  BcLog(log, BcLogKind::kDebugOrv, "DrkVexoReadOnlyIniFile: open file '%s'\n", path);
  KelLockHold hold(g_bcLocks.iniFile, false);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) close(fd);
    BcLog(log, BcLogKind::kDebugOrv, "DrkVexoReadOnlyIniFile: error opening '%s'\n", path);
    return nullptr;
  }
  BcLog(log, BcLogKind::kDebugOrv, "DrkVexoReadOnlyIniFile: successfully opened %s\n", path);
  size_t size = static_cast<size_t>(st.st_size);
  auto* text = static_cast<char*>(apr_pcalloc(pool, size + 1));
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd, text + got, size - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  text[got] = '\0';
  close(fd);
  return text;
}

const char* FindIniSection(const char* text, const char* section, const BcLogSink& log) {
  size_t length = strlen(section);
  for (const char* p = SkipBlanks(text); *p; p = SkipBlanks(LineEnd(p))) {
    if (*p == '[' && strncasecmp(p + 1, section, length) == 0) {
      BcLog(log, BcLogKind::kDebugOrv, "FindIniSection: found '%s'\n", section);
      return SkipBlanks(LineEnd(p));
    }
  }
  BcLog(log, BcLogKind::kDebugOrv, "FindIniSection: warning '%s' not found\n", section);
  return nullptr;
}

void GetNameValuePair(const char* record, size_t lineLength, char* name, size_t nameSize, char* value,
                      size_t valueSize) {
  const char* end = record + lineLength;
  const char* equals = static_cast<const char*>(memchr(record, '=', lineLength));
  const char* nameStart = record;
  const char* nameEnd = equals ? equals : end;
  while (nameStart < nameEnd && IsBlank(*nameStart)) ++nameStart;
  CopyField(name, nameSize, nameStart, nameEnd - nameStart);
  if (!equals) {
    CopyField(value, valueSize, end, 0);
    return;
  }
  const char* valueStart = equals + 1;
  while (valueStart < end && IsBlank(*valueStart)) ++valueStart;
  CopyField(value, valueSize, valueStart, end - valueStart);
}

const char* DrkVexoGetSectionRecord(const char* text, const char* section, const char** cursor, size_t* lineLength,
                                    char* name, size_t nameSize, char* value, size_t valueSize,
                                    const BcLogSink& log) {
  *lineLength = 0;
  if (!text) return nullptr;
  if (section && !*cursor) *cursor = FindIniSection(text, section, log);
  // A missing section leaves the cursor empty: the lines before the first
  // header are read instead.
  const char* p = SkipBlanks(*cursor ? *cursor : text);
  while (*p == ';') p = SkipBlanks(LineEnd(p));
  const char* end = LineEnd(p);
  *cursor = end;
  if (!*p || *p == '[') return p;
  *lineLength = static_cast<size_t>(end - p);
  BcLog(log, BcLogKind::kDebugOrv, "DrkVexoGetSectionRecord: section '%s'\n", section ? section : "");
  if (name && nameSize) name[0] = '\0';
  if (value && valueSize) value[0] = '\0';
  GetNameValuePair(p, *lineLength, name, nameSize, value, valueSize);
  BcLog(log, BcLogKind::kDebugOrv, "GetNameValuePair: name '%s' value '%s'\n", name ? name : "", value ? value : "");
  return p;
}

void ReadCommonHomePage(apr_pool_t* pool, const char* text, VexoIniSection* element, const BcLogSink& log) {
  // In the order a record name is matched against: the first field whose
  // name begins with the record's name takes the value.
  const struct {
    const char* name;
    const char* VexoIniSection::*field;
  } kFields[] = {
      {"Name", &VexoIniSection::Name},
      {"Description", &VexoIniSection::Description},
      {"Version", &VexoIniSection::Version},
      {"NavigationFile", &VexoIniSection::NavigationFile},
      {"HelpContents", &VexoIniSection::HelpContents},
      {"HelpIndex", &VexoIniSection::HelpIndex},
      {"HelpSearch", &VexoIniSection::HelpSearch},
  };
  const char* cursor = nullptr;
  char name[kIniNameSize];
  char value[kIniValueSize];
  for (;;) {
    size_t length = 0;
    DrkVexoGetSectionRecord(text, "CommonHomePage", &cursor, &length, name, sizeof name, value, sizeof value, log);
    if (length == 0) break;
    if (!value[0]) continue;
    size_t nameLength = strlen(name);
    for (const auto& f : kFields) {
      if (strncasecmp(f.name, name, nameLength) != 0) continue;
      element->*f.field = apr_pstrdup(pool, value);
      break;
    }
  }
}

void ReadAllIniFiles(apr_pool_t* pool, apr_array_header_t* list, const BcLogSink& log) {
  auto* elements = reinterpret_cast<VexoIniSection*>(list->elts);
  for (int i = 0; i < list->nelts; ++i) {
    VexoIniSection& e = elements[i];
    const char* path = apr_psprintf(pool, "%s/%s", e.iniDirectory, e.iniFileName);
    BcLog(log, BcLogKind::kDebugOrv, "ReadAllIniFiles: read ini file='%s'\n", path);
    const char* text = DrkVexoReadOnlyIniFile(pool, path, log);
    if (text) ReadCommonHomePage(pool, text, &e, log);
  }
}
