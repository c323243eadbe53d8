#include "help_html.h"

#include <strings.h>

#include <cstring>
#include <functional>
#include <vector>

#include "help_topics.h"
#include "kel_text.h"

namespace {

// Longer search texts are cut, so that a page never grows with its address.
constexpr size_t kMaxQueryShown = 200;

std::string Text(std::string_view text) { return HtmlEscape(std::string(text)); }

// At most kMaxQueryShown bytes, not cutting a UTF-8 character in two.
std::string Shown(const std::string& text) {
  if (text.size() <= kMaxQueryShown) return text;
  size_t n = kMaxQueryShown;
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return text.substr(0, n);
}

// The help's own places, in the order of its navigation.
struct Place {
  const char* topic;  // "" for the help's first page
  const char* label;
};
constexpr Place kPlaces[] = {
    {"", "Help start"},
    {"contents", "Agent help contents"},
    {"index", "Agent help index"},
};

std::string Link(std::string_view href, std::string_view label) {
  return "<a href=\"" + HtmlAttribute(href) + "\">" + Text(label) + "</a>";
}

std::string Layout(const HelpPage& page, std::string_view current, std::string_view query, const std::string& main) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>" +
      Text(page.title) +
      " - QX Kel Portal help</title>\n<link rel=\"stylesheet\" href=\"/kel.css\">\n</head>\n<body class=\"help\">\n"
      "<a class=\"skip-link\" href=\"#main\">Skip to the help text</a>\n"
      "<header class=\"banner\">\n<p class=\"product\"><a href=\"/\">QX Kel Portal</a></p>\n"
      "<nav aria-label=\"Help\">\n<ul>\n";
  for (const Place& p : kPlaces) {
    std::string href = p.topic[0] ? HelpTopicHref(p.topic) : "/help";
    html += "<li><a href=\"" + HtmlAttribute(href) + "\"";
    if (current == p.topic) html += " aria-current=\"page\"";
    html += ">" + Text(p.label) + "</a></li>\n";
  }
  html += "<li><a href=\"/\">Back to the homepage</a></li>\n</ul>\n</nav>\n"
          "<form role=\"search\" action=\"/help\" method=\"get\" class=\"help-search\">\n"
          "<label for=\"help-query\">Search the help</label>\n"
          "<input id=\"help-query\" name=\"query\" type=\"search\" maxlength=\"200\" value=\"" +
          HtmlAttribute(query) +
          "\">\n<button type=\"submit\">Search</button>\n</form>\n</header>\n"
          "<main id=\"main\" tabindex=\"-1\">\n<h1>" +
          Text(page.title) + "</h1>\n" + main + "</main>\n</body>\n</html>\n";
  return html;
}

// The portal's own topics, as a list of links with their summaries.
std::string OwnTopicList() {
  size_t count = 0;
  const HelpPageTopic* pages = HelpPageTopics(&count);
  std::string html = "<ul class=\"help-topics\">\n";
  for (size_t i = 0; i < count; ++i)
    html += "<li>" + Link(HelpTopicHref(pages[i].name), pages[i].title) + ": " + Text(pages[i].summary) + "</li>\n";
  return html + "</ul>\n";
}

// Every setting by its group, in the order of the settings model.
std::string SettingList() {
  size_t count = 0;
  const HelpSettingTopic* settings = HelpSettingTopics(&count);
  std::vector<const char*> groups;
  for (size_t i = 0; i < count; ++i) {
    bool seen = false;
    for (const char* g : groups) seen = seen || strcmp(g, settings[i].group) == 0;
    if (!seen) groups.push_back(settings[i].group);
  }
  std::string html;
  for (const char* g : groups) {
    html += "<h3>" + Text(g) + "</h3>\n<ul>\n";
    for (size_t i = 0; i < count; ++i) {
      if (strcmp(settings[i].group, g) != 0) continue;
      html += "<li>" + Link(HelpTopicHref(kSettingTopicPrefix + std::string(settings[i].name)), settings[i].label) +
              " (<code>" + Text(settings[i].name) + "</code>)" + (settings[i].restart ? ", restart" : "") + "</li>\n";
    }
    html += "</ul>\n";
  }
  return html;
}

std::string Entry(const LegacyHelp& help, const HelpNode& node) {
  std::string name(HelpUnquoted(node.name));
  if (name.empty()) name = "(no title)";
  std::string href = HelpHref(help, node.link);
  if (href.empty()) return "<span class=\"help-folder\">" + Text(name) + "</span>";
  return Link(href, name);
}

void ContentsList(const LegacyHelp& help, const HelpNode* first, std::string* html) {
  *html += "<ul>\n";
  for (const HelpNode* e = first; e; e = e->next) {
    *html += "<li>" + Entry(help, *e);
    if (e->firstChild) {
      *html += "\n";
      ContentsList(help, e->firstChild, html);
    }
    *html += "</li>\n";
  }
  *html += "</ul>\n";
}

void KeywordList(const LegacyHelp& help, const HelpNode& owner, std::string* html) {
  *html += "<ul>\n";
  for (const auto& [key, k] : owner.keywords) {
    *html += "<li><span class=\"help-keyword\">" + Text(HelpUnquoted(k->name)) + "</span>";
    if (!k->topics.empty()) {
      *html += "\n<ul>\n";
      for (const HelpNode* t : k->topics) *html += "<li>" + Entry(help, *t) + "</li>\n";
      *html += "</ul>\n";
    }
    if (!k->keywords.empty()) KeywordList(help, *k, html);
    *html += "</li>\n";
  }
  *html += "</ul>\n";
}

constexpr char kNoAgentHelp[] =
    "<p>No legacy agent on this machine has installed help. Legacy agents add their help here when the portal "
    "finds them; the portal's own help is on the <a href=\"/help\">help start</a>.</p>\n";

HelpPage Start(const LegacyHelp* help) {
  HelpPage page;
  page.title = "QX Kel Portal help";
  std::string main =
      "<p>This help is written for the administrators of this portal. Choose a topic, or search the help with the "
      "field above.</p>\n<h2>The portal's pages</h2>\n" +
      OwnTopicList() + "<h2>Settings</h2>\n<p>Each setting of the " + Link(HelpTopicHref("settings"), "settings") +
      " page has a topic of its own.</p>\n" + SettingList() + "<h2>Help of the legacy agents</h2>\n";
  if (help && help->HasContents()) {
    main += "<p>The help that the legacy agents on this machine bring, merged into one. Its pages come from the "
            "agents themselves.</p>\n<nav aria-label=\"Agent help contents\" class=\"help-contents\">\n";
    ContentsList(*help, help->contents->root->firstChild, &main);
    main += "</nav>\n";
  } else {
    main += kNoAgentHelp;
  }
  if (help && help->HasIndex()) main += "<p>" + Link(HelpTopicHref("index"), "The agents' help index") + "</p>\n";
  page.html = Layout(page, "", "", main);
  return page;
}

HelpPage PageTopic(const HelpPageTopic& topic) {
  HelpPage page;
  page.title = topic.title;
  std::string main = "<p class=\"help-summary\">" + Text(topic.summary) + "</p>\n" + topic.body + "\n";
  if (strcmp(topic.name, "settings") == 0) main += "<h2>Every setting</h2>\n" + SettingList();
  page.html = Layout(page, topic.name, "", main);
  return page;
}

HelpPage SettingTopic(const HelpSettingTopic& s) {
  HelpPage page;
  page.title = std::string("Setting: ") + s.label;
  std::string def = s.defaultValue[0] ? "<code>" + Text(s.defaultValue) + "</code>" : std::string("empty");
  std::string main = "<p>" + Text(s.text) + "</p>\n<dl class=\"help-setting\">\n<dt>Name in the settings file</dt><dd><code>" +
                     Text(s.name) + "</code></dd>\n<dt>Group</dt><dd>" + Text(s.group) + "</dd>\n<dt>Values</dt><dd>" +
                     Text(s.values) + "</dd>\n<dt>Default</dt><dd>" + def + "</dd>\n<dt>When it takes effect</dt><dd>" +
                     (s.restart ? "Saving a change restarts the web server, which then uses the new value."
                                : "At once, without a restart.") +
                     "</dd>\n</dl>\n<p>" + Link(HelpTopicHref("settings"), "All settings") + "</p>\n";
  page.html = Layout(page, std::string(kSettingTopicPrefix) + s.name, "", main);
  return page;
}

// One page of the agents' merged help, or the note that there is none.
HelpPage AgentHelp(const char* title, const char* topic, bool present, const char* intro,
                   const std::function<void(std::string*)>& list) {
  HelpPage page;
  page.title = title;
  std::string main = kNoAgentHelp;
  if (present) {
    main = std::string("<p>") + intro + "</p>\n";
    list(&main);
  }
  page.html = Layout(page, topic, "", main);
  return page;
}

HelpPage Contents(const LegacyHelp* help) {
  return AgentHelp("Agent help contents", "contents", help && help->HasContents(),
                   "The contents of the help that the legacy agents on this machine bring. Its pages come from the "
                   "agents themselves.",
                   [help](std::string* html) { ContentsList(*help, help->contents->root->firstChild, html); });
}

HelpPage Index(const LegacyHelp* help) {
  return AgentHelp("Agent help index", "index", help && help->HasIndex(),
                   "The keywords of the legacy agents' help, in alphabetical order, with the pages that explain them.",
                   [help](std::string* html) { KeywordList(*help, *help->index->root, html); });
}

HelpPage Search(const std::string& rawQuery, const LegacyHelp* help) {
  std::string query = Shown(rawQuery);
  HelpPage page;
  page.title = query.empty() ? "Search the help" : "Search results for \u201c" + query + "\u201d";
  int stopped = 0;
  std::vector<std::string> words = HelpQueryWords(query, help, &stopped);
  std::string main;
  if (words.empty()) {
    main = stopped ? "<p role=\"status\">The words you searched for are too common to search for. Try more specific "
                     "words.</p>\n"
                   : "<p role=\"status\">Type one or more words into the search field.</p>\n";
  } else {
    std::vector<HelpHit> hits = SearchHelp(words, help);
    if (hits.empty()) {
      main = "<p role=\"status\">No help topic matches \u201c" + Text(query) +
             "\u201d. Check the spelling, or try fewer or other words.</p>\n";
    } else {
      main = "<p role=\"status\">" + std::to_string(hits.size()) + (hits.size() == 1 ? " topic matches." : " topics match.") +
             "</p>\n<ol class=\"help-hits\">\n";
      for (const HelpHit& h : hits) {
        std::string where = h.legacy ? " <span class=\"help-source\">(agent help)</span>" : "";
        main += "<li>" + (h.href.empty() ? Text(h.title) : Link(h.href, h.title)) + where + "</li>\n";
      }
      main += "</ol>\n";
    }
  }
  main += "<h2>All topics</h2>\n" + OwnTopicList();
  page.html = Layout(page, "search", query, main);
  return page;
}

HelpPage NotFound(const std::string& topic) {
  HelpPage page;
  page.status = 404;
  page.title = "No such help topic";
  std::string main = "<p role=\"alert\">There is no help topic called \u201c" + Text(Shown(topic)) +
                     "\u201d. It may have been renamed; choose one of the topics below or search the help.</p>\n" +
                     OwnTopicList() + "<p>" + Link("/help", "Help start") + "</p>\n";
  page.html = Layout(page, "missing", "", main);
  return page;
}

HelpPage Malformed() {
  HelpPage page;
  page.status = 400;
  page.title = "The help could not read this address";
  std::string main = "<p role=\"alert\">The address of this help page holds a value that could not be decoded. "
                     "Open the help again from its start.</p>\n<p>" +
                     Link("/help", "Help start") + "</p>\n";
  page.html = Layout(page, "malformed", "", main);
  return page;
}

}  // namespace

std::string HtmlAttribute(std::string_view text) {
  std::string out;
  for (char c : HtmlEscape(std::string(text))) {
    if (c == '"') {
      out += "&quot;";
    } else if (c == '\'') {
      out += "&#39;";
    } else {
      out += c;
    }
  }
  return out;
}

HelpPage RenderHelpPage(const HelpRequest& request, const LegacyHelp* help) {
  if (request.malformed) return Malformed();
  if (request.hasQuery) return Search(request.query, help);
  HelpTopicRef ref = FindHelpTopic(request.topic);
  switch (ref.kind) {
    case HelpTopicKind::kStart:
      return Start(help);
    case HelpTopicKind::kPage:
      return PageTopic(*ref.page);
    case HelpTopicKind::kSetting:
      return SettingTopic(*ref.setting);
    case HelpTopicKind::kContents:
      return Contents(help);
    case HelpTopicKind::kIndex:
      return Index(help);
    case HelpTopicKind::kUnknown:
      break;
  }
  return NotFound(request.topic);
}
