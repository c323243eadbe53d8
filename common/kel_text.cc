#include "kel_text.h"

#include <cctype>
#include <cstring>

const char* SkipSpaces(const char* text) {
  while (*text && isspace(static_cast<unsigned char>(*text))) ++text;
  return text;
}

char* SkipSpaces(char* text) { return const_cast<char*>(SkipSpaces(const_cast<const char*>(text))); }

int splitFields(char* text, char** fields, size_t capacity, const char* delimiters, int maxFields, char stopChar,
                int trim) {
  if (!text || !fields || capacity == 0) return 0;
  // The caller's array bounds the count even when it asks for no limit.
  size_t limit = maxFields > 0 ? static_cast<size_t>(maxFields) : capacity;
  if (limit > capacity) limit = capacity;
  if (!delimiters) delimiters = "";

  char* p = text;
  if (trim) {
    p[strcspn(p, "\x1a\r\n")] = '\0';
    p = SkipSpaces(p);
  }
  int count = 0;
  bool splitting = true;
  bool inQuotes = false;
  for (;;) {
    if (trim) p = SkipSpaces(p);
    if (!*p) return count;
    fields[count] = p;
    if (static_cast<size_t>(count) + 1 >= limit) return count + 1;
    for (;; ++p) {
      char c = *p;
      if (!c) return count + 1;
      if (c == '"') {
        inQuotes = !inQuotes;
        continue;
      }
      if (inQuotes) continue;
      if (stopChar && c == stopChar) splitting = false;
      if (splitting && strchr(delimiters, c)) {
        *p++ = '\0';
        ++count;
        break;
      }
    }
  }
}

int splitFieldsTrim(char* text, char** fields, size_t capacity, const char* delimiters, int maxFields,
                    char stopChar) {
  return splitFields(text, fields, capacity, delimiters, maxFields, stopChar, 1);
}

int splitFieldsTrimStop(char* text, char** fields, size_t capacity, const char* delimiters, int maxFields) {
  return splitFieldsTrim(text, fields, capacity, delimiters, maxFields, ';');
}

int splitFieldsTrimStopAll(char* text, char** fields, size_t capacity, const char* delimiters) {
  return splitFieldsTrimStop(text, fields, capacity, delimiters, 0);
}

std::vector<std::string> SplitList(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    pieces.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return pieces;
    start = at + 1;
  }
}

void AppendHtmlEscaped(std::string* out, const std::string& text) {
  // Runs of plain characters are appended whole.
  size_t plain = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* entity = text[i] == '&' ? "&amp;" : text[i] == '<' ? "&lt;" : text[i] == '>' ? "&gt;" : nullptr;
    if (!entity) continue;
    out->append(text, plain, i - plain);
    *out += entity;
    plain = i + 1;
  }
  out->append(text, plain, std::string::npos);
}

std::string HtmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  AppendHtmlEscaped(&out, text);
  return out;
}

std::string JsStringEscape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\'' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f || c == '<' || c == '>' || c == '&') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else if (c == 0xe2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
               (static_cast<unsigned char>(text[i + 2]) == 0xa8 || static_cast<unsigned char>(text[i + 2]) == 0xa9)) {
      out += static_cast<unsigned char>(text[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
      i += 2;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
