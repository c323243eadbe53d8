#include "kel_xml.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kel_files.h"
#include "kel_text.h"

namespace kel {
namespace {

// Keep everything the file holds: no end-of-line or attribute white-space
// normalisation, so the offsets pugixml reports point into the file's bytes.
constexpr unsigned kParseFlags = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_declaration |
                                 pugi::parse_comments | pugi::parse_pi | pugi::parse_doctype |
                                 pugi::parse_ws_pcdata;
constexpr unsigned kPrintFlags =
    pugi::format_raw | pugi::format_no_declaration | pugi::format_no_empty_element_tags;

std::string Print(XmlNode node) {
  std::ostringstream out;
  node.print(out, "", kPrintFlags, pugi::encoding_utf8);
  return out.str();
}

bool IsNameEnd(char c) { return c == '>' || c == '/' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::unique_ptr<XmlDocument> XmlDocument::Load(const char* path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open file";
    return nullptr;
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) {
    if (error) *error = "cannot read file";
    return nullptr;
  }
  return Parse(bytes.str(), error);
}

std::unique_ptr<XmlDocument> XmlDocument::Parse(std::string text, std::string* error) {
  std::unique_ptr<XmlDocument> doc(new XmlDocument);
  doc->original_ = std::move(text);
  pugi::xml_parse_result result =
      doc->doc_.load_buffer(doc->original_.data(), doc->original_.size(), kParseFlags, pugi::encoding_utf8);
  if (!result || !doc->doc_.document_element()) {
    if (error) *error = result ? "no root element" : result.description();
    return nullptr;
  }
  doc->fromText_ = true;
  return doc;
}

std::unique_ptr<XmlDocument> XmlDocument::Create(const char* rootName) {
  std::unique_ptr<XmlDocument> doc(new XmlDocument);
  XmlNode decl = doc->doc_.append_child(pugi::node_declaration);
  decl.append_attribute("version") = "1.0";
  decl.append_attribute("encoding") = "UTF-8";
  doc->doc_.append_child(rootName);
  return doc;
}

bool XmlDocument::LocateStartTag(XmlNode element, size_t* tagBegin, size_t* tagEnd, bool* selfClosed) const {
  ptrdiff_t off = element.offset_debug();
  if (!fromText_ || off < 1 || static_cast<size_t>(off) >= original_.size() || original_[off - 1] != '<') return false;
  char quote = 0;
  for (size_t i = off; i < original_.size(); ++i) {
    char c = original_[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '>') {
      *tagBegin = off - 1;
      *tagEnd = i;
      *selfClosed = original_[i - 1] == '/';
      return true;
    }
  }
  return false;
}

// The end tag lies after the element's last child and before whatever follows
// the element, so search backwards from the start of the next node.
bool XmlDocument::LocateEndTag(XmlNode element, size_t* endBegin) const {
  size_t tagBegin, tagEnd;
  bool selfClosed;
  if (!LocateStartTag(element, &tagBegin, &tagEnd, &selfClosed) || selfClosed) return false;
  size_t limit;
  XmlNode next = element.next_sibling();
  if (next) {
    if (next.offset_debug() < 0) return false;
    limit = next.offset_debug();
  } else if (element.parent().type() == pugi::node_document) {
    limit = original_.size();
  } else if (!LocateEndTag(element.parent(), &limit)) {
    return false;
  }
  std::string close = std::string("</") + element.name();
  size_t searchFrom = limit;
  while (searchFrom > tagEnd) {
    size_t at = original_.rfind(close, searchFrom - 1);
    if (at == std::string::npos || at <= tagEnd) return false;
    size_t after = at + close.size();
    if (after < original_.size() && IsNameEnd(original_[after])) {
      *endBegin = at;
      return true;
    }
    searchFrom = at;
  }
  return false;
}

void XmlDocument::AddEdit(Edit edit) {
  edit.order = editCount_++;
  edits_.push_back(std::move(edit));
}

bool XmlDocument::SetText(XmlNode element, const char* text) {
  if (!element || element.type() != pugi::node_element || !text) return false;

  // Work out, before the tree changes, which original bytes the text takes.
  bool located = true;
  bool alreadyEdited = std::any_of(edits_.begin(), edits_.end(),
                                   [&](const Edit& e) { return e.textOnly && e.node == element; });
  Edit edit{0, 0, element, true, "", "", 0};
  if (fromText_ && element.offset_debug() >= 0 && !alreadyEdited) {
    XmlNode first = element.first_child();
    ptrdiff_t off = first ? first.offset_debug() : 0;
    if (first && off < 0) {
      located = false;
    } else if (first) {
      size_t b = off, e = std::string::npos;
      switch (first.type()) {
        case pugi::node_pcdata:
          e = original_.find('<', b);
          break;
        case pugi::node_cdata:
          b = off - 9;
          e = original_.find("]]>", off);
          if (e != std::string::npos) e += 3;
          break;
        case pugi::node_comment:
          b = off - 4;
          e = original_.find("-->", off);
          if (e != std::string::npos) e += 3;
          break;
        case pugi::node_pi:
          b = off - 2;
          e = original_.find("?>", off);
          if (e != std::string::npos) e += 2;
          break;
        case pugi::node_element: {
          size_t tb, te, endBegin;
          bool sc;
          if (!LocateStartTag(first, &tb, &te, &sc)) break;
          b = tb;
          if (sc) {
            e = te + 1;
          } else if (LocateEndTag(first, &endBegin)) {
            e = original_.find('>', endBegin);
            if (e != std::string::npos) e += 1;
          }
          break;
        }
        default:
          break;
      }
      if (e == std::string::npos || e < b || e > original_.size()) {
        located = false;
      } else {
        edit.begin = b;
        edit.end = e;
      }
    } else {
      size_t tb, te;
      bool sc;
      if (!LocateStartTag(element, &tb, &te, &sc)) {
        located = false;
      } else if (sc) {
        edit.begin = te - 1;
        edit.end = te + 1;
        edit.prefix = ">";
        edit.suffix = std::string("</") + element.name() + ">";
      } else {
        edit.begin = edit.end = te + 1;
      }
    }
  }

  XmlNode first = element.first_child();
  if (first && first.type() == pugi::node_pcdata) {
    first.set_value(text);
  } else {
    XmlNode t = first ? element.insert_child_before(pugi::node_pcdata, first) : element.append_child(pugi::node_pcdata);
    t.set_value(text);
    if (first) element.remove_child(first);
  }

  if (fromText_ && element.offset_debug() >= 0 && !alreadyEdited) {
    if (located)
      AddEdit(std::move(edit));
    else
      fullRewrite_ = true;
  }
  return true;
}

XmlNode XmlDocument::AppendElement(XmlNode parent, const char* name, const char* text) {
  if (!parent || parent.type() != pugi::node_element) return XmlNode();
  bool parentOriginal = fromText_ && parent.offset_debug() >= 0;
  bool wasEmpty = !parent.first_child();
  XmlNode child = parent.append_child(name);
  if (text) child.append_child(pugi::node_pcdata).set_value(text);
  if (!parentOriginal) return child;  // written as part of its new parent

  size_t tb, te, endBegin;
  bool sc;
  if (!LocateStartTag(parent, &tb, &te, &sc)) {
    fullRewrite_ = true;
  } else if (sc) {
    // <p/> becomes <p>...</p>: one edit writes every (new) child.
    if (wasEmpty)
      AddEdit(Edit{te - 1, te + 1, parent, false, ">", std::string("</") + parent.name() + ">", 0});
  } else if (LocateEndTag(parent, &endBegin)) {
    AddEdit(Edit{endBegin, endBegin, child, false, "", "", 0});
  } else {
    fullRewrite_ = true;
  }
  return child;
}

std::string XmlDocument::Serialize() const {
  std::vector<const Edit*> order;
  for (const Edit& e : edits_) order.push_back(&e);
  std::stable_sort(order.begin(), order.end(), [](const Edit* a, const Edit* b) {
    return a->begin != b->begin ? a->begin < b->begin : a->order < b->order;
  });
  bool overlap = false;
  for (size_t i = 1; i < order.size(); ++i)
    if (order[i]->begin < order[i - 1]->end) overlap = true;

  if (!fromText_ || fullRewrite_ || overlap) {
    std::string out;
    for (XmlNode n = doc_.first_child(); n; n = n.next_sibling()) {
      if (!out.empty()) out += '\n';
      out += Print(n);
    }
    return out;
  }

  std::string out;
  size_t pos = 0;
  for (const Edit* e : order) {
    out.append(original_, pos, e->begin - pos);
    out += e->prefix;
    if (e->textOnly) {
      out += HtmlEscape(XmlFirstChildText(e->node));
    } else if (!e->suffix.empty()) {
      for (XmlNode c = e->node.first_child(); c; c = c.next_sibling()) out += Print(c);
    } else {
      out += Print(e->node);
    }
    out += e->suffix;
    pos = e->end;
  }
  out.append(original_, pos, std::string::npos);
  return out;
}

int XmlDocument::Save(const char* path, mode_t newMode) const {
  std::string bytes = Serialize();
  return AtomicWriteFile(path, bytes.data(), bytes.size(), newMode);
}

std::vector<XmlNode> XmlFindByTag(XmlNode node, const char* tag) {
  std::vector<XmlNode> found;
  if (!node || !tag) return found;
  // Pre-order walk of the descendants, without recursion.
  XmlNode cur = node.first_child();
  while (cur) {
    if (cur.type() == pugi::node_element && std::strcmp(cur.name(), tag) == 0) found.push_back(cur);
    if (cur.first_child()) {
      cur = cur.first_child();
      continue;
    }
    while (cur && cur != node && !cur.next_sibling()) cur = cur.parent();
    if (!cur || cur == node) break;
    cur = cur.next_sibling();
  }
  return found;
}

XmlNode XmlFindFirst(XmlNode node, const char* tag) {
  std::vector<XmlNode> all = XmlFindByTag(node, tag);
  return all.empty() ? XmlNode() : all.front();
}

const char* XmlGetAttribute(XmlNode element, const char* name) {
  pugi::xml_attribute a = element.attribute(name);
  return a ? a.value() : nullptr;
}

const char* XmlFirstChildText(XmlNode element) {
  XmlNode first = element.first_child();
  return first ? first.value() : "";
}

}  // namespace kel
