// Reading an agent's contents or index file: the header, the tags of its
// lists through the two state machines, and the footer.
#include <strings.h>

#include <cctype>
#include <cstring>

#include "bc_help.h"

namespace {

// Deeper lists than any help file has are refused: the depth bounds the
// recursion of the placement and of the writer, and the ancestor path
// every entry carries.
constexpr int kMaxHelpDepth = 100;

constexpr char kNoMemory[] = "Unable to allocate necessary memory.\n";
constexpr char kContentsState[] = "Invalid state encountered while processing contents file.\n";
constexpr char kIndexState[] = "Invalid state encountered while processing index file.\n";
constexpr char kIndexInsert[] = "Error inserting an index entry.\n";

enum Tag { kUl, kEndUl, kLi, kObject, kParamName, kParamLocal, kEndObject, kOtherTag };

// Recognised by a case-insensitive prefix of the tag.
constexpr struct {
  Tag tag;
  const char* text;
} kTags[] = {
    {kUl, "<ul>"},
    {kEndUl, "</ul>"},
    {kLi, "<li>"},
    {kObject, "<object type=\"text/sitemap\">"},
    {kParamName, "<param name=\"Name\" "},
    {kParamLocal, "<param name=\"Local\" "},
    {kEndObject, "</object>"},
};

enum Action {
  kOpenList,     // level + 1, push the last name read
  kCloseList,    // level - 1, pop; at level 0 the list is closed
  kInsert,       // insert the pending entry, if any
  kNewPending,   // a new pending entry at the current level
  kEntryName,    // contents: the pending entry's name
  kKeywordName,  // index: the pending entry is a keyword of this name
  kTopicName,    // index: insert the pending entry, start a topic of this name
  kLink,         // the pending entry's link
  kFail,         // the row's code
  kSkip,         // nothing
};

constexpr unsigned kAny = ~0u;
constexpr unsigned In(int state) { return 1u << state; }
constexpr int kSame = -1;

// The first row of the tag whose states hold the current one applies. code
// and message are the row's failure (kFail, a failed insertion, a missing
// value of a link).
struct Transition {
  Tag tag;
  unsigned from;
  Action action;
  int next;
  int code;
  const char* message;
};

// States: 0 idle, 1 list opened, 2 item, 5 object, 3 name read, 4 link read.
constexpr Transition kContentsMachine[] = {
    {kUl, kAny, kOpenList, 1, 0, nullptr},
    {kEndUl, kAny, kCloseList, 0, 0, nullptr},
    {kLi, kAny & ~In(5), kInsert, 2, kHelpContentsData, "An error occurred while inserting a TOC entry.\n"},
    {kLi, kAny, kFail, kSame, kHelpContentsState, kContentsState},
    {kObject, In(2), kNewPending, 5, 0, nullptr},
    {kObject, kAny, kFail, kSame, kHelpContentsState, kContentsState},
    {kParamName, In(5), kEntryName, 3, 0, nullptr},
    {kParamName, kAny, kSkip, kSame, 0, nullptr},
    {kParamLocal, In(3), kLink, 4, kHelpContentsState, kContentsState},
    {kParamLocal, kAny, kFail, kSame, kHelpContentsState, kContentsState},
    {kEndObject, In(3) | In(4) | In(5), kInsert, 0, kHelpNoMemory, kNoMemory},
    {kEndObject, kAny, kFail, kSame, kHelpContentsState, kContentsState},
    {kOtherTag, kAny, kSkip, kSame, 0, nullptr},
};

// States: 0 idle, 1 list opened, 2 item, 6 keyword object, 7 keyword or
// topic complete, 3 topic name read.
constexpr Transition kIndexMachine[] = {
    {kUl, kAny, kOpenList, 1, 0, nullptr},
    {kEndUl, kAny, kCloseList, 0, 0, nullptr},
    {kLi, kAny, kInsert, 2, kHelpIndexData, kIndexInsert},
    {kObject, In(2), kNewPending, 6, 0, nullptr},
    {kObject, kAny, kFail, kSame, kHelpIndexState, kIndexState},
    {kParamName, In(6), kKeywordName, 7, 0, nullptr},
    {kParamName, In(7), kTopicName, 3, kHelpIndexData, kIndexInsert},
    {kParamName, kAny, kFail, kSame, kHelpIndexData, "Invalid data encountered in index file.\n"},
    {kParamLocal, In(3), kLink, 7, kHelpIndexState, kIndexState},
    {kParamLocal, kAny, kFail, kSame, kHelpIndexState, kIndexState},
    {kEndObject, In(7) | In(4), kInsert, 0, kHelpIndexData, kIndexInsert},
    {kEndObject, kAny, kFail, kSame, kHelpIndexState, kIndexState},
    {kOtherTag, kAny, kSkip, kSame, 0, nullptr},
};

struct Machine {
  const Transition* rows;
  size_t count;
  bool contents;
  int dataCode;  // a "<" without ">", no "<" left, no list
  const char* dataMessage;
  int noValueCode;  // a name without "value="
  const char* noValueMessage;
};

constexpr Machine kContents = {kContentsMachine, std::size(kContentsMachine), true, kHelpContentsData,
                               "Invalid data encountered in contents file.\n", kHelpContentsData,
                               "Invalid line encountered in contents file.\n"};
constexpr Machine kIndex = {kIndexMachine, std::size(kIndexMachine), false, kHelpIndexData,
                            "Invalid data encountered in index file.\n", kHelpIndexData,
                            "Invalid line encountered while processing index file.\n"};

Tag Classify(const char* tag) {
  // Most tags of a help file are none of these: one look at the letter
  // after "<" tells.
  switch (tag[1] | 0x20) {
    case 'u':
    case 'l':
    case 'o':
    case 'p':
    case '/':
      break;
    default:
      return kOtherTag;
  }
  for (const auto& t : kTags)
    if (strncasecmp(tag, t.text, strlen(t.text)) == 0) return t.tag;
  return kOtherTag;
}

const Transition& Find(const Machine& m, Tag tag, int state) {
  for (size_t i = 0; i < m.count; ++i)
    if (m.rows[i].tag == tag && (m.rows[i].from & In(state))) return m.rows[i];
  return m.rows[m.count - 1];
}

// The first "<ul>" of the text, in any letter case.
const char* FindListStart(const char* text) {
  for (const char* p = strchr(text, '<'); p; p = strchr(p + 1, '<'))
    if (strncasecmp(p, "<ul>", 4) == 0) return p;
  return nullptr;
}

// The text after "value=" in the tag [lt, gt), blanks skipped, up to ">".
bool ValueOf(const char* lt, const char* gt, std::string_view* value) {
  for (const char* p = lt + 5; p < gt; ++p) {
    if (*p != '=' || strncasecmp(p - 5, "value", 5) != 0) continue;
    ++p;
    while (p < gt && isspace(static_cast<unsigned char>(*p))) ++p;
    *value = std::string_view(p, static_cast<size_t>(gt - p));
    return true;
  }
  return false;
}

// The surrounding quotes go.
std::string_view Unquoted(std::string_view value) {
  return value.size() >= 2 ? value.substr(1, value.size() - 2) : std::string_view();
}

class Reader {
 public:
  Reader(HelpAggregate* agg, const Machine& m, const std::string& source)
      : agg_(agg), m_(m), source_(&agg->sourceFiles.emplace_back(source)) {}

  int Run(const char* text) {
    if (!agg_->root) {
      agg_->root = agg_->NewNode();
      agg_->root->ancestors = std::make_shared<const std::vector<std::string>>(1);
    }
    const char* list = FindListStart(text);
    bool takeHeader = agg_->oldhelp || !agg_->hasHeader;
    size_t length = strlen(text);
    bool endsWithTag = length > 0 && text[length - 1] == '>';
    if (list && takeHeader) {
      agg_->header.assign(text, static_cast<size_t>(list - text));
      agg_->hasHeader = true;
    }
    if (!list) {
      if (takeHeader && !agg_->hasHeader) return Fail(endsWithTag ? kHelpNoMemory : kHelpNoList, m_.dataMessage);
      if (takeHeader && endsWithTag) {
        agg_->header.clear();
        agg_->hasHeader = false;
      }
      return Fail(m_.dataCode, m_.dataMessage);
    }
    return ReadTags(list);
  }

 private:
  int Fail(int code, const char* message) {
    LogOutput(2, "%s", message);
    return code;
  }

  bool InsertPending() {
    HelpNode* entry = pending_;
    pending_ = nullptr;
    if (!entry) return true;
    // An index object that never got its keyword has nothing to place.
    if (!m_.contents && entry->name.empty()) return true;
    return m_.contents ? InsertContentsEntry(agg_, entry) : InsertIndexEntry(agg_, entry);
  }

  HelpNode* NewEntry(int kind) {
    HelpNode* e = agg_->NewNode();
    e->kind = kind;
    e->oldhelp = agg_->oldhelp;
    e->level = level_;
    e->source = source_;
    // An object that never gets its name is still placed: under the lists
    // it was read in.
    if (!snapshot_) snapshot_ = std::make_shared<const std::vector<std::string>>(stack_);
    e->ancestors = snapshot_;
    e->parentName = stack_.empty() ? std::string() : stack_.back();
    return e;
  }

  void Named(HelpNode* e, std::string_view value, const std::string& parent) {
    e->name.assign(value);
    e->parentName = parent;
    if (!snapshot_) snapshot_ = std::make_shared<const std::vector<std::string>>(stack_);
    e->ancestors = snapshot_;
  }

  int ReadTags(const char* p) {
    bool skipped = false;
    for (;;) {
      const char* lt = strchr(p, '<');
      if (!lt) return skipped ? kHelpOk : Fail(m_.dataCode, m_.dataMessage);
      const char* gt = strchr(lt + 1, '>');
      if (!gt) return Fail(m_.dataCode, m_.dataMessage);
      const Transition& row = Find(m_, Classify(lt), state_);
      std::string_view value;
      bool hasValue = ValueOf(lt, gt, &value);
      skipped = false;
      switch (row.action) {
        case kOpenList:
          if (level_ >= kMaxHelpDepth) return Fail(m_.dataCode, m_.dataMessage);
          ++level_;
          stack_.push_back(lastName_);
          snapshot_.reset();
          break;
        case kCloseList:
          --level_;
          if (!stack_.empty()) stack_.pop_back();
          snapshot_.reset();
          if (level_ <= 0) {
            TakeFooter(gt + 1);
            return kHelpOk;
          }
          break;
        case kInsert:
          if (!InsertPending()) return Fail(row.code, row.message);
          break;
        case kNewPending:
          pending_ = NewEntry(m_.contents ? kHelpEntry : kHelpKeyword);
          break;
        case kEntryName:
        case kKeywordName:
          if (!hasValue) return Fail(m_.noValueCode, m_.noValueMessage);
          if (!pending_) pending_ = NewEntry(m_.contents ? kHelpEntry : kHelpKeyword);
          Named(pending_, value, stack_.empty() ? std::string() : stack_.back());
          lastName_.assign(value);
          break;
        case kTopicName:
          if (!hasValue) return Fail(m_.noValueCode, m_.noValueMessage);
          if (!InsertPending()) return Fail(row.code, row.message);
          pending_ = NewEntry(kHelpTopic);
          Named(pending_, value, lastName_);
          break;
        case kLink:
          if (!hasValue) return Fail(row.code, row.message);
          if (pending_) pending_->link = HelpLink(*agg_, Unquoted(value));
          break;
        case kFail:
          return Fail(row.code, row.message);
        case kSkip:
          skipped = true;
          break;
      }
      if (row.next != kSame) state_ = row.next;
      p = gt + 1;
    }
  }

  void TakeFooter(const char* after) {
    if (strncmp(after, "\r\n", 2) == 0) after += 2;
    if (agg_->oldhelp || !agg_->hasFooter) {
      agg_->footer = after;
      agg_->hasFooter = true;
    }
  }

  HelpAggregate* agg_;
  const Machine& m_;
  const std::string* source_;
  int state_ = 0;
  int level_ = 0;
  std::vector<std::string> stack_;  // the names that opened the current lists
  std::shared_ptr<const std::vector<std::string>> snapshot_;  // stack_ as the entries keep it
  std::string lastName_;            // contents: the last name; index: the last keyword
  HelpNode* pending_ = nullptr;
};

}  // namespace

int MergeContentsText(HelpAggregate* agg, const char* text, const std::string& source) {
  return Reader(agg, kContents, source).Run(text);
}

int MergeIndexText(HelpAggregate* agg, const char* text, const std::string& source) {
  return Reader(agg, kIndex, source).Run(text);
}
