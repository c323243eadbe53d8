#include <arpa/inet.h>

#include <cstring>
#include <string>
#include <vector>

#include "kel_host.h"
#include "kel_text.h"
#include "svc_config.h"
#include "svc_log.h"

namespace {

constexpr uint32_t kAll = 0xFFFFFFFFu;

// inet_addr's reading, host order: a text that does not parse is
// 255.255.255.255.
uint32_t HostOrder(const std::string& text) { return ntohl(inet_addr(text.c_str())); }

std::string Dotted(uint64_t hostOrder) { return Ipv4Text(htonl(static_cast<uint32_t>(hostOrder))); }

int TrailingZeros(uint32_t v) { return v == 0 ? 32 : __builtin_ctz(v); }

// Text that lands in a configuration line: anything that could end the line
// or start a new directive makes the entry count as unparsable.
bool IsPlainEntry(const std::string& entry) {
  for (unsigned char c : entry)
    if (c < 0x21 || c == 0x7f || strchr("\"'`<>$\\", c)) return false;
  return true;
}

std::vector<std::string> Entries(const char* list) {
  std::vector<std::string> out;
  if (!list) return out;
  std::string text(list);
  std::vector<char*> fields(text.size() / 2 + 2);
  int n = splitFields(text.data(), fields.data(), fields.size(), ";", 0, 0, 1);
  for (int i = 0; i < n; ++i) {
    std::string entry(fields[i]);
    while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\t')) entry.pop_back();
    if (!entry.empty()) out.push_back(entry);  // "a;;b" lists a and b
  }
  return out;
}

}  // namespace

void AppendRangeRule(std::string& out, const std::string& entry) {
  if (!IsPlainEntry(entry)) {
    out += "\n";
    return;
  }
  size_t dash = entry.find('-');
  std::string startText = entry.substr(0, dash);
  std::string endText = dash == std::string::npos ? "" : entry.substr(dash + 1);
  if (dash == std::string::npos || endText.empty()) {
    out += " " + startText + "\n";
    return;
  }
  uint64_t start = HostOrder(startText);
  uint64_t end = HostOrder(endText);
  bool startDidNotParse = inet_addr(startText.c_str()) == INADDR_NONE && startText != "255.255.255.255";
  if (start == 0 && end == kAll) {
    out += " all\n";
    return;
  }
  bool movedStart = false, movedEnd = false;
  if (start == 0) {
    start = 1;
    movedStart = true;
  }
  if (end == kAll) {
    end = kAll - 1;
    movedEnd = true;
  }
  if (start == end) {
    out += " " + endText + "\n";
    return;
  }
  if (end < start || startDidNotParse) {
    out += "\n";
    return;
  }

  // Ascending: single odd addresses, then aligned blocks as large as fit.
  int t = -1;
  while (start < end) {
    if (start & 1) {
      out += " " + Dotted(start);
      start += 1;
      continue;
    }
    int zeros = TrailingZeros(static_cast<uint32_t>(start));
    uint64_t block = uint64_t{1} << zeros;
    if (start + block - 1 <= end) {
      out += " " + Dotted(start) + "/" + std::to_string(32 - zeros);
      start += block;
    } else {
      t = zeros;
      break;
    }
  }
  if (t >= 0) {
    // Descending: ever smaller blocks; the last one ends exactly at the end.
    for (int power = t - 1; power >= 0; --power) {
      uint64_t block = uint64_t{1} << power;
      if (start + block - 1 <= end) {
        out += " " + Dotted(start) + "/" + std::to_string(32 - power);
        start += block;
      }
    }
  } else if (start == end) {
    // The ascending walk can stop one short (10.0.0.1-10.0.0.2): the last
    // address still belongs to the range.
    out += " " + Dotted(start);
  }
  if (movedEnd) out += " 255.255.255.255";
  if (movedStart) out += " 0.0.0.0";
  out += "\n";
}

// A rule whose entry gives no address would read "allow from" alone, which
// Apache refuses, and one bad range would keep the whole portal from
// starting: such a rule is left out (and logged) instead.
std::string BuildAccessRules(const char* includeList, const char* excludeList) {
  std::string rules;
  auto rule = [&rules](const char* head, const std::string& entry) {
    std::string addresses;
    AppendRangeRule(addresses, entry);
    if (addresses == "\n") {
      ServiceLog(1, "BuildAccessRules: the address range %s is not valid and was left out.\n", entry.c_str());
      return;
    }
    rules += head;
    rules += addresses;
  };
  std::vector<std::string> include = Entries(includeList);
  if (include.empty()) {
    rules += "allow from all\n";
  } else {
    rules += "allow from 127.0.0.1\n";
    for (const std::string& entry : include) rule("allow from", entry);
  }
  for (const std::string& entry : Entries(excludeList)) rule("deny from", entry);
  return rules;
}
