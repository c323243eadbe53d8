// The legacy agents' merged help as the help pages show it: the contents
// tree, the index and the search tables, read back from the merged files
// with the same readers that merged them, and the links that reach each
// agent through the rewrite map.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bc_help.h"

// The three merged files, each read on its own: a file that is missing or
// cannot be read leaves its part null (and a damaged one is logged).
struct LegacyHelp {
  std::unique_ptr<HelpAggregate> contents;
  std::unique_ptr<HelpAggregate> index;
  std::unique_ptr<HelpAggregate> search;
  // The first path segments that the rewrite map proxies to an agent, as
  // the map holds them (its lookups are exact).
  std::set<std::string> agents;

  bool HasContents() const { return contents && contents->root && contents->root->firstChild; }
  bool HasIndex() const { return index && index->root && !index->root->keywords.empty(); }
  bool HasSearch() const { return search && search->search && !search->search->topics.empty(); }
};

struct LegacyHelpFiles {
  std::string contents, index, search;  // the merged files
  std::string map;                      // the rewrite map file
};

// Reads the files now.
std::unique_ptr<LegacyHelp> ReadLegacyHelp(const LegacyHelpFiles& files);

// The same, kept while none of the files changes (by size, time and inode),
// so that each request does not parse them again. Safe across threads.
std::shared_ptr<const LegacyHelp> CurrentLegacyHelp(const LegacyHelpFiles& files);

// A name as the help files quote it ("\"Overview\"") without its quotes.
std::string_view HelpUnquoted(std::string_view name);

// The address a merged link is shown with: an agent's page as it stands (the
// rewrite map proxies it), the portal's own old help under /qxhelp; empty
// when the link is not a plain path on this server (another host, "..",
// a scheme, a backslash or a control character).
std::string HelpHref(const LegacyHelp& help, std::string_view link);

// One hit of a search.
struct HelpHit {
  std::string title;
  std::string href;
  bool legacy = false;  // from the agents' search file
  int score = 0;        // query words it matched
};

// The words of a query: split at anything but letters, digits, "-" and "_",
// lower case, repeated words and the search file's stop words left out; at
// most kMaxQueryWords. stopped counts the stop words left out.
constexpr size_t kMaxQueryWords = 16;
std::vector<std::string> HelpQueryWords(std::string_view query, const LegacyHelp* help, int* stopped);

// The portal's own topics and the agents' topics that match the words, the
// best first (more words matched, then the portal's own, then the order of
// the topics). A word matches the start of a keyword, a word of a title, or
// (own topics) any word of the text.
std::vector<HelpHit> SearchHelp(const std::vector<std::string>& words, const LegacyHelp* help);
