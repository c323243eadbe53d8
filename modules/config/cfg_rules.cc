#include "cfg_rules.h"

#include <apr_strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cfg_groups.h"
#include "kel_config.h"
#include "kel_text.h"

namespace {

// Names and keywords are equal when they differ only in case or white space.
bool Same(const char* a, const char* b) { return apr_strnatcasecmp(a, b) == 0; }

bool HasNonAscii(const char* s) {
  for (; *s; ++s)
    if (static_cast<unsigned char>(*s) > 127) return true;
  return false;
}

void StoreText(KelSetting* s, const char* value) {
  memset(s->value, 0, s->maxLength + 1);
  apr_cpystrn(s->value, value, s->maxLength + 1);
}

void StoreInt(KelSetting* s, int32_t v) {
  memset(s->value, 0, s->maxLength + 1);
  memcpy(s->value, &v, sizeof v);
}

void ReplaceCommas(char* value) {
  for (char* p = value; *p; ++p)
    if (*p == ',') *p = ';';
}

// The ";" separated entries of a list: one trailing separator is allowed,
// an empty entry elsewhere is not. False for such an empty entry.
bool ListEntries(const char* value, std::vector<std::string>* entries) {
  std::string text(value);
  if (text.empty()) return true;
  if (text.back() == ';') text.pop_back();
  size_t start = 0;
  for (;;) {
    size_t semi = text.find(';', start);
    std::string entry = text.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
    if (entry.empty()) return false;
    entries->push_back(entry);
    if (semi == std::string::npos) return true;
    start = semi + 1;
  }
}

// A number written exactly as its decimal form, 0 to 255.
bool Octet(const char* text, int* out) {
  size_t len = strlen(text);
  if (len == 0 || len > 3 || (len > 1 && text[0] == '0')) return false;
  for (const char* p = text; *p; ++p)
    if (*p < '0' || *p > '9') return false;
  int v = atoi(text);
  if (v > 255) return false;
  *out = v;
  return true;
}

// Four octets matched against the pattern, the whole text consumed.
bool Address(const char* text, int octets[4], const char* rest = "") {
  char a[4][4];
  int used = -1;
  std::string format = std::string("%3[0123456789].%3[0123456789].%3[0123456789].%3[0123456789]%n");
  if (sscanf(text, format.c_str(), a[0], a[1], a[2], a[3], &used) != 4 || used < 0) return false;
  if (strcmp(text + used, rest) != 0) return false;
  for (int i = 0; i < 4; ++i)
    if (!Octet(a[i], &octets[i])) return false;
  return true;
}

// The rules. Each logs its own message for a refused value.

bool ServerNamesValid(const char* value) {
  static const char kForbidden[] = "~'!@#$%^&*()+=:<>?,|\"";
  if (strlen(value) > 1024) return false;
  const char* p = value;
  for (;;) {
    const char* end = strchr(p, ';');
    size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    if (len == 0) return end == nullptr;  // only the last name may be empty
    if (len > 64) return false;
    for (size_t i = 0; i < len; ++i) {
      unsigned char c = static_cast<unsigned char>(p[i]);
      if (c > 127 || strchr(kForbidden, c)) return false;
    }
    if (!end) return true;
    p = end + 1;
  }
}

bool RestrictionListValid(const KelSetting* s, const char* value) {
  if (static_cast<int>(strlen(value)) > s->maxLength) return false;
  if (strspn(value, "0123456789.-;") != strlen(value)) return false;
  std::vector<std::string> entries;
  if (!ListEntries(value, &entries)) return false;
  for (const std::string& e : entries) {
    int a[4], b[4];
    size_t dash = e.find('-');
    if (dash == std::string::npos) {
      if (!Address(e.c_str(), a)) return false;
      continue;
    }
    std::string start = e.substr(0, dash), end = e.substr(dash + 1);
    if (!Address(start.c_str(), a) || !Address(end.c_str(), b)) return false;
    for (int i = 0; i < 4; ++i) {
      if (a[i] < b[i]) break;
      if (a[i] > b[i]) return false;
    }
  }
  return true;
}

bool BindingListValid(const KelSetting* s, const char* value) {
  if (static_cast<int>(strlen(value)) > s->maxLength) return false;
  std::vector<std::string> entries;
  if (!ListEntries(value, &entries) || entries.size() > 5) return false;
  for (const std::string& e : entries) {
    size_t slash = e.find('/');
    int a[4], m[4];
    if (slash == std::string::npos || !Address(e.substr(0, slash).c_str(), a) ||
        !Address(e.substr(slash + 1).c_str(), m))
      return false;
    if (m[0] < 128) return false;
    uint32_t mask = (uint32_t(m[0]) << 24) | (uint32_t(m[1]) << 16) | (uint32_t(m[2]) << 8) | uint32_t(m[3]);
    // Contiguous: no 1 bit after a 0 bit, so the inverse is 0...01...1.
    uint32_t inverted = ~mask;
    if ((inverted & (inverted + 1)) != 0) return false;
  }
  return true;
}

// 1 to maxChars characters whose leading digits give a number in range.
bool NumberInRange(const char* value, size_t maxChars, int low, int high) {
  size_t len = strlen(value);
  if (len < 1 || len > maxChars) return false;
  int n = atoi(value);
  return n >= low && n <= high;
}

// The common end of the text rules: a refusal (with its message when the
// rule has one), or the value stored as text.
int TextVerdict(KelSetting* s, const char* value, int store, bool valid, const char* label = nullptr,
                const char* end = "") {
  if (!valid) {
    if (label) LogOutput(2, "%s value \"%s\" is not valid, please reset the value%s\n", label, value, end);
    return 0;
  }
  if (store) StoreText(s, value);
  return 1;
}

}  // namespace

// Each rule logs its own message for a refused value.

int ValidateGroupList(KelSetting* s, char* value, int store) {
  bool valid = static_cast<int>(strlen(value)) <= s->maxLength;
  // Every name is looked at, even after a fault.
  for (const std::string& name : SplitList(value, ';')) {
    if (name.empty()) continue;
    if (HasNonAscii(name.c_str())) {
      LogOutput(1, "User group [%s] contains a non-ASCII character and failed validation", name.c_str());
      valid = false;
    } else if (!KelGroupExists(name.c_str())) {
      // Only a warning: the group may be made later.
      LogOutput(1, "User group [%s] could not be verified to exist by the operating system", name.c_str());
    }
  }
  if (!valid) {
    LogOutput(2, "UserGroup \"%s\" is not valid, please reset the value\n", value);
    return 0;
  }
  if (store) StoreText(s, value);
  return 1;
}

int ValidateBoolean(KelSetting* s, char* value, int store) {
  int v;
  if (Same(value, "True"))
    v = 1;
  else if (Same(value, "False"))
    v = 0;
  else {
    LogOutput(2, "Boolean value \"%s\" is not valid, please reset the Boolean value\n", value);
    return 0;
  }
  if (store) StoreInt(s, v);
  return 1;
}

int ValidateLocalAccessType(KelSetting* s, char* value, int store) {
  return TextVerdict(s, value, store, Same(value, "Administrator") || Same(value, "Anonymous"), "LocalAccessType");
}

int ValidateTrustMode(KelSetting* s, char* value, int store) {
  bool valid = Same(value, "TrustByCert") || Same(value, "TrustByName") || Same(value, "TrustByAll");
  return TextVerdict(s, value, store, valid, "TrustMode");
}

int ValidateServerNames(KelSetting* s, char* value, int store) {
  ReplaceCommas(value);
  return TextVerdict(s, value, store, ServerNamesValid(value), "ZQName", ".");
}

int ValidateRestrictionList(KelSetting* s, char* value, int store) {
  if (strspn(value, "0123456789.-;,") == strlen(value)) ReplaceCommas(value);
  return TextVerdict(s, value, store, RestrictionListValid(s, value), "IpRestriction", ".");
}

int ValidateBindingList(KelSetting* s, char* value, int store) {
  return TextVerdict(s, value, store, BindingListValid(s, value), "IpBindingList", ".");
}

int ValidateLockPorts(KelSetting* s, char* value, int store) {
  return TextVerdict(s, value, store, strlen(value) == 1 && strchr("012", value[0]));
}

int ValidateSessionTimeout(KelSetting* s, char* value, int store) {
  return TextVerdict(s, value, store, NumberInRange(value, 2, 1, 60));
}

int ValidateSessionMaximum(KelSetting* s, char* value, int store) {
  return TextVerdict(s, value, store, NumberInRange(value, 3, 32, 500));
}

int ValidateUiTimeout(KelSetting* s, char* value, int store) {
  if (!NumberInRange(value, 4, 10, 3600)) return 0;
  if (store) StoreInt(s, atoi(value));
  return 1;
}

bool ValueHasNoControlCharacter(const char* name, const char* value) {
  for (const char* p = value; *p; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) {
      // The value itself is not logged: its line feeds would forge log lines.
      LogOutput(2, "Setting %s: the value contains the control character 0x%02X and is not valid.", name, c);
      return false;
    }
  }
  return true;
}
