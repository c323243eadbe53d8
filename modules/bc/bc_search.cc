// The agents' search files: topics, keywords pointing at topics by number,
// stop words. Later files' topic numbers are shifted past the topics of the
// files merged before them.
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <functional>

#include "bc_help.h"

namespace {

constexpr char kInvalidData[] = "Invalid data encountered in search file.\n";

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

const char* LineEnd(const char* p) {
  while (*p && *p != '\r' && *p != '\n') ++p;
  return p;
}

const char* NextLine(const char* p) {
  p = LineEnd(p);
  while (*p == '\r' || *p == '\n') ++p;
  return p;
}

int Fail(int code, const char* message) {
  LogOutput(2, "%s", message);
  return code;
}

// The quoted text at the first double quote of [p, end), quotes included.
bool Quoted(const char* p, const char* end, std::string_view* text) {
  const char* open = static_cast<const char*>(memchr(p, '"', end - p));
  if (!open) return false;
  const char* close = static_cast<const char*>(memchr(open + 1, '"', end - open - 1));
  if (!close) return false;
  *text = std::string_view(open, static_cast<size_t>(close - open + 1));
  return true;
}

// A decimal number at p (no sign); false when there is none or it is too
// large to be a topic number.
bool Number(const char* p, const char* end, long* value) {
  if (p >= end || !isdigit(static_cast<unsigned char>(*p))) return false;
  long n = 0;
  for (; p < end && isdigit(static_cast<unsigned char>(*p)); ++p) {
    n = n * 10 + (*p - '0');
    if (n > INT_MAX / 2) return false;
  }
  *value = n;
  return true;
}

// The declared count right after "[" + name in the header line.
bool Declared(const char* header, const char* name, long* count) {
  const char* p = header + 1 + strlen(name);
  return Number(p, LineEnd(p), count);
}

// Calls merge with each line of the section after header (blank and ";"
// lines skipped) until it fails; the number of lines merged, or the code.
int ForEachLine(const char* header, long* merged, const std::function<int(const char*, const char*)>& merge) {
  *merged = 0;
  for (const char* p = NextLine(header); *p && *p != '['; p = NextLine(p)) {
    const char* end = LineEnd(p);
    const char* first = p;
    while (first < end && IsBlank(*first)) ++first;
    if (first == end || *p == ';') continue;
    int code = merge(first, end);
    if (code != kHelpOk) return code;
    ++*merged;
  }
  return kHelpOk;
}

int TopicLine(HelpAggregate* agg, const char* p, const char* end) {
  std::string_view title, link;
  if (!Quoted(p, end, &title)) return Fail(kHelpSearchData, kInvalidData);
  const char* after = title.data() + title.size();
  if (!Quoted(after, end, &link)) return Fail(kHelpSearchData, kInvalidData);
  agg->search->topics.push_back({std::string(title), HelpLink(*agg, link.substr(1, link.size() - 2))});
  return kHelpOk;
}

// The numbers are read whole before the tables change: a line with a
// malformed number adds nothing, so the keyword count always matches the
// keywords written.
int KeywordLine(HelpAggregate* agg, const char* p, const char* end) {
  std::string_view keyword;
  if (!Quoted(p, end, &keyword)) return Fail(kHelpSearchData, kInvalidData);
  std::vector<int> numbers;
  for (const char* q = keyword.data() + keyword.size();;) {
    q = static_cast<const char*>(memchr(q, ',', end - q));
    if (!q) break;
    ++q;
    while (q < end && IsBlank(*q)) ++q;
    long n = 0;
    if (!Number(q, end, &n) || n > INT_MAX - agg->search->topicOffset)
      return Fail(kHelpSearchData, "Format error in topic links in [KEYWORDS=xxx] section.\n");
    numbers.push_back(static_cast<int>(n) + agg->search->topicOffset);
  }
  auto [it, added] = agg->search->keywords.try_emplace(HelpSortKey(keyword));
  if (added) it->second.text.assign(keyword);
  std::vector<int>& into = it->second.numbers;
  for (int n : numbers) into.insert(std::upper_bound(into.begin(), into.end(), n, std::greater<int>()), n);
  return kHelpOk;
}

int StopWordLine(HelpAggregate* agg, const char* p, const char* end) {
  std::string_view word(p, static_cast<size_t>(end - p));
  agg->search->stopWords.try_emplace(HelpSortKey(word), word);
  return kHelpOk;
}

// One section of the file: its header, its declared count and its lines.
int MergeSection(HelpAggregate* agg, const char* text, const char* name, int missingCode, const char* missing,
                 int formatCode, const char* format, const char* mismatch,
                 int (*line)(HelpAggregate*, const char*, const char*)) {
  const char* header = FindSearchSection(text, name, agg->log);
  if (!header) return Fail(missingCode, missing);
  long declared = 0;
  if (!Declared(header, name, &declared)) return Fail(formatCode, format);
  long merged = 0;
  int code = ForEachLine(header, &merged, [&](const char* p, const char* end) { return line(agg, p, end); });
  if (merged != declared) return Fail(formatCode, mismatch);
  if (line == TopicLine) {
    agg->search->topicOffset = agg->search->runningTotal;
    agg->search->runningTotal += static_cast<int>(declared);
  }
  return code;
}

}  // namespace

const char* FindSearchSection(const char* text, const char* name, const BcLogSink& log) {
  size_t length = strlen(name);
  for (const char* p = text; *p; p = NextLine(p)) {
    if (*p == '[' && strncasecmp(p + 1, name, length) == 0) {
      BcLog(log, BcLogKind::kDebugOrv, "FindIniSection: found '%s'\n", name);
      return p;
    }
  }
  BcLog(log, BcLogKind::kDiagnostic, "FindSearchSection: warning '%s' not found\n", name);
  return nullptr;
}

int MergeSearchText(HelpAggregate* agg, const char* text) {
  if (!agg->search) agg->search = std::make_unique<SearchTables>();
  int code = MergeSection(agg, text, "TOPICS=", kHelpNoTopicsSection, "Unable to find a [TOPICS=xxx] section.\n",
                          kHelpTopics, "Format error in [TOPICS=xxx] line.\n",
                          "The number of topics processed does not match the number indicated.\n", TopicLine);
  if (code != kHelpOk) return code;
  code = MergeSection(agg, text, "KEYWORDS=", kHelpNoKeywordsSection, "Unable to find [KEYWORDS=xxx] section.\n",
                      kHelpKeywords, "Format error in [KEYWORDS=xxx] line.\n",
                      "The number of keywords processed does not match the number indicated.\n", KeywordLine);
  if (code != kHelpOk) return code;
  return MergeSection(agg, text, "STOPWORDS=", kHelpNoStopWordsSection, "Unable to find [STOPWORDS=xxx] section.\n",
                      kHelpStopWords, "Format error in [STOPWORDS=xxx] line.\n",
                      "The number of items processed does not match the number indicated.\n", StopWordLine);
}

int RenderSearchTables(const SearchTables& tables, std::string* out) {
  if (!tables.topics.empty()) {
    out->append("[TOPICS=").append(std::to_string(tables.topics.size())).append("]\r\n");
    for (const SearchTopic& t : tables.topics) {
      if (t.title.empty() || t.link.empty()) return Fail(kHelpTopics, "Invalid line in [TOPICS=] section.\n");
      out->append(t.title).append(",\"").append(t.link).append("\"\r\n");
    }
  }
  out->append("\r\n");
  if (!tables.keywords.empty()) {
    out->append("[KEYWORDS=").append(std::to_string(tables.keywords.size())).append("]\r\n");
    for (const auto& [key, keyword] : tables.keywords) {
      out->append(keyword.text);
      for (int n : keyword.numbers) out->append(", ").append(std::to_string(n));
      out->append("\r\n");
    }
  }
  out->append("\r\n");
  if (!tables.stopWords.empty()) {
    out->append("[STOPWORDS=").append(std::to_string(tables.stopWords.size())).append("]\r\n");
    for (const auto& [key, word] : tables.stopWords) out->append(word).append("\r\n");
  }
  return kHelpOk;
}
