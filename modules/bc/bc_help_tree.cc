// The merged contents and index trees: where each entry goes, the folders
// of same-name runs, and the text of a tree.
//
// Entries are placed as a walk of each list from its start would place
// them, but the walk is not made: each list keeps the first entry of every
// run of one name (by group) and the first entry of the agents' group, and
// index keywords and topics are kept in ordered containers, so that a merge
// of many agents' files costs no more than a sort.
#include <strings.h>

#include <algorithm>

#include "bc_help.h"

namespace {

// ASCII lower case without the locale lookup of tolower: the sort keys are
// made for every keyword, topic and stop word.
struct LowerTable {
  unsigned char map[256];
  constexpr LowerTable() : map() {
    for (int c = 0; c < 256; ++c) map[c] = static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
};
constexpr LowerTable kLower;

std::string_view WithoutClosingQuote(std::string_view text) {
  if (text.size() > 1 && text.front() == '"' && text.back() == '"') text.remove_suffix(1);
  return text;
}

}  // namespace

int HelpTextCompare(std::string_view a, std::string_view b) {
  a = WithoutClosingQuote(a);
  b = WithoutClosingQuote(b);
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char ca = kLower.map[static_cast<unsigned char>(a[i])];
    unsigned char cb = kLower.map[static_cast<unsigned char>(b[i])];
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

std::string HelpSortKey(std::string_view text) {
  text = WithoutClosingQuote(text);
  std::string key(text.size(), '\0');
  for (size_t i = 0; i < text.size(); ++i) key[i] = static_cast<char>(kLower.map[static_cast<unsigned char>(text[i])]);
  return key;
}

namespace {

// ---- Contents ----------------------------------------------------------------

std::string RunKey(bool oldhelp, const std::string& name) {
  std::string key(1, oldhelp ? 'o' : 'a');
  for (char c : name) key += static_cast<char>(kLower.map[static_cast<unsigned char>(c)]);
  return key;
}

bool SameRun(const HelpNode* e, const HelpNode* other) {
  return e->oldhelp == other->oldhelp && strcasecmp(e->name.c_str(), other->name.c_str()) == 0;
}

// Puts entry into parent's children before pos (at the end for null).
void LinkBefore(HelpNode* parent, HelpNode* pos, HelpNode* entry) {
  entry->parent = parent;
  entry->next = pos;
  entry->prev = pos ? pos->prev : parent->lastChild;
  (entry->prev ? entry->prev->next : parent->firstChild) = entry;
  (pos ? pos->prev : parent->lastChild) = entry;
  if (!entry->oldhelp && (!entry->prev || entry->prev->oldhelp)) parent->firstAgentChild = entry;
  auto run = parent->runs.find(RunKey(entry->oldhelp, entry->name));
  if (run == parent->runs.end())
    parent->runs.emplace(RunKey(entry->oldhelp, entry->name), entry);
  else if (run->second == entry->next)
    run->second = entry;
}

// Where a new entry of a group goes when no entry has its name: at the end
// of its group's entries. In a nested list that begins with the other
// group, it goes first.
HelpNode* GroupEnd(HelpNode* parent, const HelpNode* entry) {
  if (parent->parent && parent->firstChild && parent->firstChild->oldhelp != entry->oldhelp)
    return parent->firstChild;
  return entry->oldhelp ? parent->firstAgentChild : nullptr;
}

void PlaceInList(HelpNode* parent, HelpNode* entry) {
  int listLevel = parent->level + 1;
  const std::vector<std::string>& ancestors = *entry->ancestors;
  if (entry->level > listLevel && static_cast<size_t>(listLevel) < ancestors.size()) {
    // Deeper: down through the entries named as the entry's ancestor at
    // this depth; one without children takes it as first child when it is
    // the parent.
    auto run = parent->runs.find(RunKey(entry->oldhelp, ancestors[listLevel]));
    if (run != parent->runs.end()) {
      for (HelpNode* e = run->second; e && SameRun(e, run->second); e = e->next) {
        if (e->firstChild) return PlaceInList(e, entry);
        if (listLevel + 1 == entry->level) return LinkBefore(e, nullptr, entry);
      }
    }
    return LinkBefore(parent, GroupEnd(parent, entry), entry);
  }
  auto run = parent->runs.find(RunKey(entry->oldhelp, entry->name));
  if (run == parent->runs.end()) return LinkBefore(parent, GroupEnd(parent, entry), entry);
  if (entry->link.empty()) return;
  HelpNode* last = run->second;
  for (HelpNode* e = run->second; e && SameRun(e, run->second); e = e->next) {
    last = e;
    if (e->link.empty()) {
      e->link = entry->link;
      e->source = entry->source;
      return;
    }
    if (strcasecmp(e->link.c_str(), entry->link.c_str()) == 0) return;
  }
  LinkBefore(parent, last->next, entry);
}

void Deepen(HelpNode* e) {
  for (; e; e = e->next) {
    ++e->level;
    Deepen(e->firstChild);
  }
}

void GroupList(HelpAggregate* agg, HelpNode* parent) {
  for (HelpNode* e = parent->firstChild; e; e = e->next)
    if (e->firstChild) GroupList(agg, e);
  for (HelpNode* e = parent->firstChild; e;) {
    HelpNode* last = e;
    while (last->next && strcasecmp(last->next->name.c_str(), e->name.c_str()) == 0) last = last->next;
    HelpNode* after = last->next;
    if (last != e) {
      HelpNode* folder = agg->NewNode();
      folder->kind = kHelpEntry;
      folder->oldhelp = e->oldhelp;
      folder->level = e->level;
      folder->name = e->name;
      folder->parent = parent;
      folder->prev = e->prev;
      folder->next = after;
      (e->prev ? e->prev->next : parent->firstChild) = folder;
      (after ? after->prev : parent->lastChild) = folder;
      e->prev = nullptr;
      last->next = nullptr;
      folder->firstChild = e;
      folder->lastChild = last;
      for (HelpNode* c = e; c; c = c->next) c->parent = folder;
      Deepen(e);
    }
    e = after;
  }
}

// ---- Index -------------------------------------------------------------------

HelpNode* FindKeyword(HelpNode* owner, const std::vector<std::string>& ancestors, const std::string* last) {
  for (size_t i = 1; owner && i < ancestors.size(); ++i) {
    auto it = owner->keywords.find(HelpSortKey(ancestors[i]));
    owner = it == owner->keywords.end() ? nullptr : it->second;
  }
  if (owner && last) {
    auto it = owner->keywords.find(HelpSortKey(*last));
    owner = it == owner->keywords.end() ? nullptr : it->second;
  }
  return owner;
}

// ---- Text --------------------------------------------------------------------

void Indent(std::string* out, int depth) { out->append(2 * static_cast<size_t>(std::max(depth, 0)), ' '); }

void Line(std::string* out, int depth, std::string_view a, std::string_view b = {}, std::string_view c = {}) {
  Indent(out, depth);
  out->append(a).append(b).append(c).append("\r\n");
}

void NameAndLink(std::string* out, const HelpNode* e, int depth) {
  if (!e->name.empty()) Line(out, depth, "<param name=\"Name\" value=", e->name, ">");
  if (!e->link.empty()) Line(out, depth, "<param name=\"Local\" value=\"", e->link, "\">");
}

void RenderContents(const HelpNode* first, std::string* out) {
  Line(out, first->level - 1, "<ul>");
  for (const HelpNode* e = first; e; e = e->next) {
    Line(out, e->level, "<li><object type=\"text/sitemap\">");
    NameAndLink(out, e, e->level + 1);
    Line(out, e->level, "</object>");
    if (e->firstChild) {
      RenderContents(e->firstChild, out);
      Line(out, e->level, "</ul>");
    }
  }
}

void RenderKeywords(const HelpNode* owner, std::string* out) {
  Line(out, owner->keywords.begin()->second->level - 1, "<ul>");
  for (const auto& [name, k] : owner->keywords) {
    Line(out, k->level, "<li><object type=\"text/sitemap\">");
    NameAndLink(out, k, k->level + 1);
    for (const HelpNode* t : k->topics) NameAndLink(out, t, k->level + 1);
    Line(out, k->level, "</object>");
    if (!k->keywords.empty()) {
      RenderKeywords(k, out);
      Line(out, k->level, "</ul>");
    }
  }
}

}  // namespace

bool InsertContentsEntry(HelpAggregate* agg, HelpNode* entry) {
  HelpNode* root = agg->root;
  if (!root) return false;
  // The portal's own entries come first; an agents' entry starts among the
  // agents' entries, or at the end when there is none yet.
  if (entry->oldhelp && !(root->firstChild && root->firstChild->oldhelp)) {
    LinkBefore(root, root->firstChild, entry);
  } else if (!entry->oldhelp && !root->firstAgentChild) {
    LinkBefore(root, nullptr, entry);
  } else {
    PlaceInList(root, entry);
  }
  return true;
}

bool InsertIndexEntry(HelpAggregate* agg, HelpNode* entry) {
  if (!agg->root) return false;
  if (entry->kind == kHelpKeyword) {
    HelpNode* owner = FindKeyword(agg->root, *entry->ancestors, nullptr);
    if (!owner) return false;
    entry->parent = owner;
    owner->keywords.emplace(HelpSortKey(entry->name), entry);  // an equal keyword stays as it is
    return true;
  }
  HelpNode* keyword = FindKeyword(agg->root, *entry->ancestors, &entry->parentName);
  if (!keyword) return false;
  entry->parent = keyword;
  auto& topics = keyword->topics;
  auto at = std::upper_bound(topics.begin(), topics.end(), entry, [](const HelpNode* a, const HelpNode* b) {
    return HelpTextCompare(a->name, b->name) < 0;
  });
  topics.insert(at, entry);
  return true;
}

void GroupContentsRuns(HelpAggregate* agg) {
  if (agg->root) GroupList(agg, agg->root);
}

bool RenderHelpTree(const HelpAggregate& agg, std::string* out) {
  if (!agg.root) return false;
  if (agg.kind == kHelpContents) {
    if (!agg.root->firstChild) return false;
    RenderContents(agg.root->firstChild, out);
    return true;
  }
  if (agg.root->keywords.empty()) return false;
  RenderKeywords(agg.root, out);
  return true;
}
