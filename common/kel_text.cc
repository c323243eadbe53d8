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
