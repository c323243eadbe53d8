// The portal's own help: one topic per page of the portal and one per
// setting, written for administrators. The texts are part of the program,
// not read from files; the other pages link to these topic names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A page's topic. body is markup written here (headings from h2 on,
// paragraphs, lists, links to other topics); it holds no outside value.
struct HelpPageTopic {
  const char* name;   // "settings"
  const char* title;  // "Settings"
  const char* summary;
  const char* body;
};

// A setting's topic: "setting-" + name.
struct HelpSettingTopic {
  const char* name;  // as in the settings file
  const char* label;
  const char* group;   // the settings page's group
  const char* values;  // what the value may be
  const char* defaultValue;
  bool restart;  // a change restarts the web server
  const char* text;  // what the setting does, one paragraph of plain text
};

// The topics in the order the help lists them.
const HelpPageTopic* HelpPageTopics(size_t* count);
const HelpSettingTopic* HelpSettingTopics(size_t* count);

constexpr char kSettingTopicPrefix[] = "setting-";

// What a ?topic= value names. Names are compared without regard to case.
enum class HelpTopicKind {
  kStart,     // no topic: the help's first page
  kPage,      // a page of the portal
  kSetting,   // one setting
  kContents,  // the agents' merged contents
  kIndex,     // the agents' merged index
  kUnknown,
};
struct HelpTopicRef {
  HelpTopicKind kind = HelpTopicKind::kUnknown;
  const HelpPageTopic* page = nullptr;
  const HelpSettingTopic* setting = nullptr;
};
HelpTopicRef FindHelpTopic(std::string_view name);

// The address of a topic's page ("/help?topic=" + name).
std::string HelpTopicHref(std::string_view name);

// A topic's text without markup, in lower case, for the search.
std::string HelpPlainText(std::string_view markup);
