// Field splitting for name=value style text.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

// First character that is not white space.
const char* SkipSpaces(const char* text);
char* SkipSpaces(char* text);

// Splits text in place into fields at any character of delimiters (outside
// double quotes) and stores a pointer per field; returns the field count.
// With maxFields non-zero the last field takes the rest unsplit. A stop
// character met outside quotes ends splitting: later delimiters stay in the
// current field. With trim, the text ends at the first Ctrl-Z, CR or LF and
// white space before each field is skipped. At most capacity fields are
// stored: "no limit" means the capacity of the caller's array.
int splitFields(char* text, char** fields, size_t capacity, const char* delimiters, int maxFields, char stopChar,
                int trim);
// The short forms: trim on; then also stop at ";"; then also no field limit.
int splitFieldsTrim(char* text, char** fields, size_t capacity, const char* delimiters, int maxFields,
                    char stopChar);
int splitFieldsTrimStop(char* text, char** fields, size_t capacity, const char* delimiters, int maxFields);
int splitFieldsTrimStopAll(char* text, char** fields, size_t capacity, const char* delimiters);

// text as it may stand between the quotes of a JavaScript string literal
// in a script or an HTML page: quotes, backslashes and control characters
// are escaped, and so are "<", ">" and "&" (no "</script>" can end the
// block) and U+2028/U+2029 (line ends to a script).
std::string JsStringEscape(const std::string& text);

// text as character data of HTML or XML: "&", "<" and ">" as entities.
std::string HtmlEscape(const std::string& text);
// The same, appended to out.
void AppendHtmlEscaped(std::string* out, const std::string& text);

// A fixed-size text field into another of its size, up to its terminating
// zero (the last byte is always one); the bytes after it are not written.
// Records of mostly empty fields are copied this way for every page view.
template <size_t N>
void CopyTextField(char (&to)[N], const char (&from)[N]) {
  size_t len = strnlen(from, N - 1);
  memcpy(to, from, len);
  to[len] = '\0';
}

// Every piece of a separated list, empty ones included ("a;;b" gives "a",
// "", "b"; "" gives one empty piece).
std::vector<std::string> SplitList(const std::string& text, char separator);
