#include "help_legacy.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <map>
#include <mutex>

#include "help_topics.h"

namespace {

// Where the portal's own old help is served (the configuration's alias of
// the help directory).
constexpr char kOldHelpAlias[] = "/qxhelp";

// The merged files are read as one file of the portal's own help: their
// links are whole already, and the reader puts one "/" before each.
void SetMergedSource(HelpAggregate* agg) {
  agg->oldhelp = false;
  agg->agentPrefix.clear();
  agg->helpSubdir.clear();
}

void UndoLinkPrefix(std::string* link) {
  if (link->size() >= 2 && (*link)[0] == '/' && (*link)[1] == '/') link->erase(0, 1);
}

std::unique_ptr<HelpAggregate> ReadTree(int kind, const std::string& path) {
  std::string text;
  if (!BcReadFile(path, &text)) return nullptr;
  auto agg = std::make_unique<HelpAggregate>(kind, BcLogSink());
  SetMergedSource(agg.get());
  int code = kind == kHelpContents ? MergeContentsText(agg.get(), text.c_str(), path)
                                   : MergeIndexText(agg.get(), text.c_str(), path);
  if (code != kHelpOk) {
    LogOutput(2, "kel_help: the merged help file %s could not be read (code %d); the help shows what was read.",
              path.c_str(), code);
  }
  for (HelpNode& node : agg->nodes) UndoLinkPrefix(&node.link);
  return agg;
}

// A line (lines end at CR or LF, as the reader sees them) that begins with
// header.
bool HasSection(const std::string& text, const char* header) {
  size_t n = strlen(header);
  for (size_t at = 0; at < text.size();) {
    if (strncasecmp(text.c_str() + at, header, n) == 0) return true;
    at = text.find_first_of("\r\n", at);
    if (at == std::string::npos) break;
    ++at;
  }
  return false;
}

std::unique_ptr<HelpAggregate> ReadSearch(const std::string& path) {
  std::string text;
  if (!BcReadFile(path, &text)) return nullptr;
  // The merge leaves out a stop word section that has no words; the reader
  // wants all three.
  if (!HasSection(text, "[STOPWORDS=")) text += "\r\n[STOPWORDS=0]\r\n";
  auto agg = std::make_unique<HelpAggregate>(kHelpSearch, BcLogSink());
  SetMergedSource(agg.get());
  int code = MergeSearchText(agg.get(), text.c_str());
  if (code != kHelpOk) {
    LogOutput(2, "kel_help: the merged help file %s could not be read (code %d); the search uses what was read.",
              path.c_str(), code);
  }
  for (SearchTopic& t : agg->search->topics) UndoLinkPrefix(&t.link);
  return agg;
}

std::set<std::string> ReadMapNames(const std::string& path) {
  std::set<std::string> names;
  std::string text;
  if (!BcReadFile(path, &text)) return names;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') continue;
    size_t last = line.find_first_of(" \t\r", first);
    names.insert(line.substr(first, last == std::string::npos ? std::string::npos : last - first));
  }
  return names;
}

// What identifies one version of a file.
struct Stamp {
  bool exists = false;
  off_t size = 0;
  ino_t inode = 0;
  timespec changed{};

  bool operator==(const Stamp& o) const {
    return exists == o.exists && size == o.size && inode == o.inode && changed.tv_sec == o.changed.tv_sec &&
           changed.tv_nsec == o.changed.tv_nsec;
  }
};

Stamp StampOf(const std::string& path) {
  Stamp s;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return s;
  s.exists = true;
  s.size = st.st_size;
  s.inode = st.st_ino;
  s.changed = st.st_mtim;
  return s;
}

bool IsWordChar(char c) { return isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; }

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && IsWordChar(text[i])) {
      word += static_cast<char>(tolower(static_cast<unsigned char>(text[i])));
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  return words;
}

bool StartsWith(const std::string& text, const std::string& start) { return text.compare(0, start.size(), start) == 0; }

bool AnyStartsWith(const std::vector<std::string>& words, const std::string& start) {
  return std::any_of(words.begin(), words.end(), [&](const std::string& w) { return StartsWith(w, start); });
}

int Score(const std::vector<std::string>& textWords, const std::vector<std::string>& query) {
  int score = 0;
  for (const std::string& q : query) score += AnyStartsWith(textWords, q) ? 1 : 0;
  return score;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

// "." and ".." in any spelling a browser resolves.
bool IsDotSegment(std::string_view segment) {
  std::string s = Lower(segment);
  for (size_t at = s.find("%2e"); at != std::string::npos; at = s.find("%2e")) s.replace(at, 3, ".");
  return s == "." || s == "..";
}

void AddOwnHits(const std::vector<std::string>& words, std::vector<HelpHit>* hits) {
  size_t count = 0;
  const HelpPageTopic* pages = HelpPageTopics(&count);
  for (size_t i = 0; i < count; ++i) {
    std::string text = std::string(pages[i].title) + " " + pages[i].summary + " " + HelpPlainText(pages[i].body);
    if (int score = Score(Words(text), words))
      hits->push_back({pages[i].title, HelpTopicHref(pages[i].name), false, score});
  }
  const HelpSettingTopic* settings = HelpSettingTopics(&count);
  for (size_t i = 0; i < count; ++i) {
    const HelpSettingTopic& s = settings[i];
    std::string text = std::string(s.name) + " " + s.label + " " + s.group + " " + s.values + " " + s.text;
    if (int score = Score(Words(text), words))
      hits->push_back({std::string("Setting: ") + s.label, HelpTopicHref(kSettingTopicPrefix + std::string(s.name)),
                       false, score});
  }
}

void AddLegacyHits(const std::vector<std::string>& words, const LegacyHelp& help, std::vector<HelpHit>* hits) {
  const SearchTables& tables = *help.search->search;
  std::vector<int> scores(tables.topics.size(), 0);
  std::vector<std::vector<std::string>> titleWords;
  for (const SearchTopic& t : tables.topics) titleWords.push_back(Words(HelpUnquoted(t.title)));
  for (const std::string& w : words) {
    std::vector<bool> matched(tables.topics.size(), false);
    for (const auto& [key, keyword] : tables.keywords) {
      if (!AnyStartsWith(Words(HelpUnquoted(keyword.text)), w)) continue;
      for (int n : keyword.numbers)
        if (n >= 1 && static_cast<size_t>(n) <= matched.size()) matched[static_cast<size_t>(n) - 1] = true;
    }
    for (size_t i = 0; i < matched.size(); ++i)
      if (matched[i] || AnyStartsWith(titleWords[i], w)) ++scores[i];
  }
  for (size_t i = 0; i < scores.size(); ++i) {
    if (scores[i] == 0) continue;
    const SearchTopic& t = tables.topics[i];
    hits->push_back({std::string(HelpUnquoted(t.title)), HelpHref(help, t.link), true, scores[i]});
  }
}

}  // namespace

std::unique_ptr<LegacyHelp> ReadLegacyHelp(const LegacyHelpFiles& files) {
  auto help = std::make_unique<LegacyHelp>();
  help->contents = ReadTree(kHelpContents, files.contents);
  help->index = ReadTree(kHelpIndex, files.index);
  help->search = ReadSearch(files.search);
  help->agents = ReadMapNames(files.map);
  return help;
}

std::shared_ptr<const LegacyHelp> CurrentLegacyHelp(const LegacyHelpFiles& files) {
  static std::mutex lock;
  static std::array<Stamp, 4> stamps;
  static std::string paths;
  static std::shared_ptr<const LegacyHelp> current;
  std::array<Stamp, 4> now = {StampOf(files.contents), StampOf(files.index), StampOf(files.search),
                              StampOf(files.map)};
  std::string key = files.contents + '\n' + files.index + '\n' + files.search + '\n' + files.map;
  std::lock_guard<std::mutex> hold(lock);
  if (!current || now != stamps || key != paths) {
    current = ReadLegacyHelp(files);
    stamps = now;
    paths = key;
  }
  return current;
}

std::string_view HelpUnquoted(std::string_view name) {
  if (name.size() >= 2 && name.front() == '"' && name.back() == '"') return name.substr(1, name.size() - 2);
  return name;
}

std::string HelpHref(const LegacyHelp& help, std::string_view link) {
  if (link.size() < 2 || link[0] != '/' || link[1] == '/') return "";
  for (char c : link)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\') return "";
  std::string_view path = link.substr(0, link.find_first_of("?#"));
  std::string first;
  for (size_t at = 1; at <= path.size();) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    std::string_view segment = path.substr(at, end - at);
    if (IsDotSegment(segment)) return "";
    if (at == 1) first.assign(segment);
    at = end + 1;
  }
  if (help.agents.count(first)) return std::string(link);
  return std::string(kOldHelpAlias).append(link);
}

std::vector<std::string> HelpQueryWords(std::string_view query, const LegacyHelp* help, int* stopped) {
  std::set<std::string> stopWords;
  if (help && help->search && help->search->search)
    for (const auto& [key, word] : help->search->search->stopWords) {
      std::vector<std::string> w = Words(word);
      if (w.size() == 1) stopWords.insert(w[0]);
    }
  *stopped = 0;
  std::vector<std::string> words;
  for (std::string& w : Words(query)) {
    if (stopWords.count(w)) {
      ++*stopped;
    } else if (std::find(words.begin(), words.end(), w) == words.end() && words.size() < kMaxQueryWords) {
      words.push_back(std::move(w));
    }
  }
  return words;
}

std::vector<HelpHit> SearchHelp(const std::vector<std::string>& words, const LegacyHelp* help) {
  std::vector<HelpHit> hits;
  if (words.empty()) return hits;
  AddOwnHits(words, &hits);
  if (help && help->HasSearch()) AddLegacyHits(words, *help, &hits);
  std::stable_sort(hits.begin(), hits.end(), [](const HelpHit& a, const HelpHit& b) {
    if (a.score != b.score) return a.score > b.score;
    return !a.legacy && b.legacy;
  });
  return hits;
}
