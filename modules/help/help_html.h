// The help's pages as HTML: one layout (landmarks, the help's navigation,
// the search form, the shared stylesheet) around each kind of page. Every
// value that comes from a file or from the request is escaped here.
#pragma once

#include <string>
#include <string_view>

#include "help_legacy.h"

// What the request asked for, its values already decoded.
struct HelpRequest {
  bool malformed = false;  // a value whose escapes could not be decoded
  bool hasQuery = false;   // ?query= was given (maybe empty)
  std::string query;
  std::string topic;
};

struct HelpPage {
  int status = 200;
  std::string title;
  std::string html;
};

// The page for a request; help may be null (no merged help read).
HelpPage RenderHelpPage(const HelpRequest& request, const LegacyHelp* help);

// text as the value of a double- or single-quoted HTML attribute.
std::string HtmlAttribute(std::string_view text);
