// The merged legacy navigation and help: the navigation file, the contents
// and index trees, the search tables, and their writers. No web-server
// call: the unit tests, the benchmark and the fuzz targets link it as it is.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "apr_tables.h"
#include "bc_core.h"
#include "bc_ini.h"

// ---- Files -----------------------------------------------------------------

// The merged files under the write directory.
struct BcMergedPaths {
  std::string navFile;   // data/htdocs/navfile.htm
  std::string contents;  // data/help/drkhelp.hhc
  std::string index;     // data/help/drkhelp.hhk
  std::string search;    // data/help/drkhelp.hhs
};
BcMergedPaths BcMergedFilePaths();

// dir + "/" + a file value of an INI file, whose separators may be "\" as
// the agents' first platform wrote them.
std::string BcFileUnder(const char* dir, const char* value);
// The whole file appended to out; false when it cannot be read.
bool BcReadFile(const std::string& path, std::string* out);

constexpr char kNavFileHeader[] = "//Navfile needed for backwards compatibility.\n\n";

// The navigation file back to its header; 1 on success.
int ResetNavigationFileAt(const std::string& path, const BcLogSink& log);
// The header, then one block and the agent's file per element that names one.
void buildAggregateNavigationFile(const apr_array_header_t* list, const std::string& path, const BcLogSink& log);
// Deletes the three merged help files.
void ResetHelpFilesAt(const BcMergedPaths& paths);

// ---- Result codes ----------------------------------------------------------

enum HelpCode {
  kHelpOk = 0,
  kHelpNoMemory = 1,
  kHelpContentsState = 3,
  kHelpIndexState = 4,
  kHelpNoList = 6,
  kHelpContentsData = 7,
  kHelpIndexData = 8,
  kHelpSearchData = 9,
  kHelpNoContents = 10,
  kHelpNoIndex = 11,
  kHelpNoSearch = 12,
  kHelpNoContentsHeader = 13,
  kHelpNoIndexHeader = 14,
  kHelpNoContentsFooter = 15,
  kHelpNoIndexFooter = 16,
  kHelpNoTopicsSection = 17,
  kHelpNoKeywordsSection = 18,
  kHelpNoStopWordsSection = 19,
  kHelpTopics = 20,
  kHelpKeywords = 21,
  kHelpStopWords = 22,
  kHelpContentsOpen = 23,
  kHelpIndexOpen = 25,
  kHelpSearchOpen = 26,
  kHelpWrite = 27,
  kHelpSearchWrite = 30,
};

// ---- Text order ------------------------------------------------------------

// Index keywords and topics, search keywords and stop words: compared
// without regard to case over the shorter text, the shorter first when
// equal so far. A closing double quote takes no part (quoted texts are
// compared without it); an unquoted text is compared whole.
int HelpTextCompare(std::string_view a, std::string_view b);
// The same order as plain byte order of a key: the text in lower case,
// without its closing quote. Ordered containers keep these keys, so that
// each comparison is one memcmp.
std::string HelpSortKey(std::string_view text);

// ---- Trees -----------------------------------------------------------------

enum HelpNodeKind { kHelpEntry = 0, kHelpTopic = 1, kHelpKeyword = 2 };

struct HelpNode {
  int kind = kHelpEntry;
  bool oldhelp = false;
  int level = 0;  // list depth, 1 for the outermost list
  HelpNode* next = nullptr;
  HelpNode* prev = nullptr;
  HelpNode* parent = nullptr;
  HelpNode* firstChild = nullptr;
  HelpNode* lastChild = nullptr;
  std::string name;        // as read, quotes included
  std::string link;        // built, no quotes
  std::string parentName;  // the enclosing entry's name
  // The enclosing names, outermost (empty) first: shared by the entries
  // read under the same lists.
  std::shared_ptr<const std::vector<std::string>> ancestors;
  const std::string* source = nullptr;  // the file it was read from

  // Contents: the first entry of each run of one name among the children,
  // by group and lower-case name; the first child of the agents' group.
  std::unordered_map<std::string, HelpNode*> runs;
  HelpNode* firstAgentChild = nullptr;
  // Index: the keywords below this one (or the root's top keywords), in
  // order, and a keyword's topics, in order.
  std::map<std::string, HelpNode*> keywords;  // by HelpSortKey
  std::vector<HelpNode*> topics;
};

// ---- Search tables ---------------------------------------------------------

struct SearchTopic {
  std::string title;  // quotes included
  std::string link;   // built, no quotes
};

struct SearchKeyword {
  std::string text;          // quotes included
  std::vector<int> numbers;  // highest first
};

// Keywords and stop words by HelpSortKey.
struct SearchTables {
  std::vector<SearchTopic> topics;
  std::map<std::string, SearchKeyword> keywords;
  std::map<std::string, std::string> stopWords;
  // The topic offset of the file being merged and the topics declared so
  // far: one aggregation's counters.
  int topicOffset = 0;
  int runningTotal = 0;
};

// ---- Aggregates ------------------------------------------------------------

enum HelpKind { kHelpContents = 1, kHelpIndex = 2, kHelpSearch = 3 };

struct HelpAggregate {
  explicit HelpAggregate(int k, const BcLogSink& sink) : kind(k), log(sink) {}
  int kind;
  BcLogSink log;
  bool oldhelp = false;
  int result = kHelpOk;
  std::string agentPrefix;
  std::string helpSubdir;
  std::string currentHelpFilePath;
  bool hasHeader = false;
  bool hasFooter = false;
  std::string header;
  std::string footer;
  HelpNode* root = nullptr;
  std::unique_ptr<SearchTables> search;
  std::deque<HelpNode> nodes;          // every node of the tree
  std::deque<std::string> sourceFiles;  // the files they were read from

  HelpNode* NewNode() { return &nodes.emplace_back(); }
};

// Points the aggregate at one element's file: the oldhelp flag, the agent
// prefix, the help subdirectory and the directory the value is relative to.
void SetHelpSource(HelpAggregate* agg, const VexoIniSection& element, const char* fileValue);
// The link of a value read from a file of the current source.
std::string HelpLink(const HelpAggregate& agg, std::string_view text);

// Merging one file's text (what the file mergers do after reading it).
int MergeContentsText(HelpAggregate* agg, const char* text, const std::string& source);
int MergeIndexText(HelpAggregate* agg, const char* text, const std::string& source);
int MergeSearchText(HelpAggregate* agg, const char* text);
// The header line of a search file's section "[" + name, or null.
const char* FindSearchSection(const char* text, const char* name, const BcLogSink& log);
// The text of the merged search file; kHelpOk or kHelpTopics.
int RenderSearchTables(const SearchTables& tables, std::string* out);

// Merging one element's file; the codes of HelpCode.
int ProcessContentsFile(const VexoIniSection& element, HelpAggregate* agg);
int ProcessIndexFile(const VexoIniSection& element, HelpAggregate* agg);
int ProcessSearchFile(const VexoIniSection& element, HelpAggregate* agg);

// Placing one entry read from a file in the merged tree; false when it has
// no place (an index entry whose keyword is not there).
bool InsertContentsEntry(HelpAggregate* agg, HelpNode* entry);
bool InsertIndexEntry(HelpAggregate* agg, HelpNode* entry);
// The outermost list and everything below it; false when there is no entry.
bool RenderHelpTree(const HelpAggregate& agg, std::string* out);

// After all files: each run of siblings of one name becomes a folder.
void GroupContentsRuns(HelpAggregate* agg);

// The text of the merged file: header, tree and footer (contents, index)
// or the tables (search). kHelpOk, or the code that stops the writing.
int RenderHelpFile(const HelpAggregate& agg, std::string* out);

// Writes one merged file, or deletes it when the last file merged into the
// kind failed or nothing can be written; the code.
int WriteHelpfiles(const HelpAggregate& agg, const std::string& path);

// Everything after the INI files are read: merges each element's help
// files, groups the contents, deletes the old files and writes the new.
void buildAggregateHelpFiles(const apr_array_header_t* list, const BcMergedPaths& paths, const BcLogSink& log);
