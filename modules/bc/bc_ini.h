// The legacy agents' INI files: the read-only parser, the collection of the
// files from the agents' directories and the opener with wait that the
// merged help files are written through. No web-server call: the unit tests
// and the fuzz targets link it as it is.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "apr_pools.h"
#include "apr_tables.h"
#include "bc_core.h"

// One collected INI file; the values are pool copies or null.
struct VexoIniSection {
  char iniFileName[260];
  const char* Name;
  const char* Description;
  const char* Version;
  const char* NavigationFile;
  const char* HelpContents;
  const char* HelpIndex;
  const char* HelpSearch;
  char vexoName[260];      // "/" + the agent's name, or "nonVEXO"
  char iniDirectory[260];  // the directory the file names are relative to
};

constexpr size_t kIniNameSize = 80;
constexpr size_t kIniValueSize = 300;

// The whole file, zero-terminated, from pool; null when it cannot be read.
// Holds the INI read lock while reading.
char* DrkVexoReadOnlyIniFile(apr_pool_t* pool, const char* path, const BcLogSink& log);

// The first line after the header of section (matched as a case-insensitive
// prefix of the header's text), the end of the text when nothing follows,
// or null when no header matches.
const char* FindIniSection(const char* text, const char* section, const BcLogSink& log);

// The next record of section. *cursor starts null; the first call finds the
// section (when it is missing, the records before the first header are
// read). *lineLength 0 means the section is exhausted.
const char* DrkVexoGetSectionRecord(const char* text, const char* section, const char** cursor, size_t* lineLength,
                                    char* name, size_t nameSize, char* value, size_t valueSize,
                                    const BcLogSink& log);

// Splits one record line at its first "=". A name or value that does not
// fit its buffer reads as empty.
void GetNameValuePair(const char* record, size_t lineLength, char* name, size_t nameSize, char* value,
                      size_t valueSize);

// Fills the [CommonHomePage] values of every element.
void ReadAllIniFiles(apr_pool_t* pool, apr_array_header_t* list, const BcLogSink& log);
// The same for one file's text (what ReadAllIniFiles does with each file).
void ReadCommonHomePage(apr_pool_t* pool, const char* text, VexoIniSection* element, const BcLogSink& log);

// The list of INI files: the portal's own oldhelp.ini first, then the INI
// files of every active legacy agent's two directories. Names of legacy
// records that are inactive or no longer served by an agent go to unlist.
apr_array_header_t* CollectVexoIniFiles(apr_pool_t* pool, const WebApp* apps, int count, const std::string& helpDir,
                                        std::vector<std::string>* unlist, const BcLogSink& log);

// Sharing modes of DrkVexoOpenSharedFileWithWait.
constexpr int kDrkShareNone = 0;  // no other opener: an exclusive advisory lock
constexpr int kDrkShareRead = 1;  // readers may share: a shared advisory lock

// Opens path with flags and mode, then takes the advisory lock of share,
// retrying while another opener holds it, up to waitSeconds. The truncation
// of O_TRUNC happens only once the lock is held. The descriptor, or -1.
int DrkVexoOpenSharedFileWithWait(const char* path, int flags, int share, mode_t mode, int waitSeconds,
                                  const BcLogSink& log);
