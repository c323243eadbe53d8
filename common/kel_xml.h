// The XML layer: the few operations the settings, registration and
// servlet-container files need, over pugixml.
//
// Saving is a splice: the bytes of the loaded file are written back as they
// were, with only the changed text and the appended elements put in their
// places, so comments, white space, quoting and entity spelling survive. The
// file is replaced atomically.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include <pugixml.hpp>

namespace kel {

using XmlNode = pugi::xml_node;

class XmlDocument {
 public:
  // Loads a document from a file; null when it cannot be read or parsed.
  static std::unique_ptr<XmlDocument> Load(const char* path, std::string* error = nullptr);
  // Loads a document from text (for callers that already hold the bytes).
  static std::unique_ptr<XmlDocument> Parse(std::string text, std::string* error = nullptr);
  // A new document holding only the XML declaration and an empty root.
  static std::unique_ptr<XmlDocument> Create(const char* rootName);

  XmlNode Root() const { return doc_.document_element(); }
  pugi::xml_node DocumentNode() const { return doc_; }

  // The document's bytes as Save writes them.
  std::string Serialize() const;
  // Replaces the file at path atomically; a new file gets newMode.
  // Returns 0 on success, -1 on failure.
  int Save(const char* path, mode_t newMode = 0660) const;

  // Mutations; use these (not pugixml's own) so Save knows what changed.
  // Sets the element's text: its first child is replaced by a text node, or
  // a text node is appended when it has no child.
  bool SetText(XmlNode element, const char* text);
  // Appends a new element (with an optional text) as the last child.
  XmlNode AppendElement(XmlNode parent, const char* name, const char* text = nullptr);

 private:
  XmlDocument() = default;
  struct Edit {
    size_t begin;   // span of the original bytes replaced
    size_t end;
    XmlNode node;   // element whose text, or new element, is written there
    bool textOnly;  // write node's text (escaped) rather than node itself
    std::string prefix, suffix;
    size_t order;
  };
  bool LocateStartTag(XmlNode element, size_t* tagBegin, size_t* tagEnd, bool* selfClosed) const;
  bool LocateEndTag(XmlNode element, size_t* endBegin) const;
  void AddEdit(Edit edit);

  pugi::xml_document doc_;
  std::string original_;
  bool fromText_ = false;  // offsets into original_ are valid
  bool fullRewrite_ = false;
  std::vector<Edit> edits_;
  size_t editCount_ = 0;
};

// Every element with the tag name below node (the document or an element),
// in document order.
std::vector<XmlNode> XmlFindByTag(XmlNode node, const char* tag);
// The first such element, or an empty node.
XmlNode XmlFindFirst(XmlNode node, const char* tag);
// An attribute's value, or null when the element has no such attribute.
const char* XmlGetAttribute(XmlNode element, const char* name);
// The value of the element's first child node; "" when it has none or the
// first child carries no value (an element).
const char* XmlFirstChildText(XmlNode element);

}  // namespace kel
