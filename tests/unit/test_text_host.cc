#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kel_host.h"
#include "kel_text.h"

namespace {

struct SplitCase {
  const char* text;
  const char* delimiters;
  int maxFields;
  char stop;
  int trim;
  std::vector<std::string> fields;
};

TEST(SplitFieldsTest, Cases) {
  const SplitCase cases[] = {
      {"a=b=c", "=", 2, 0, 1, {"a", "b=c"}},
      {"x;y", ";", 0, ';', 1, {"x;y"}},
      {"a, b ,c", ",", 0, 0, 1, {"a", "b ", "c"}},
      {"  k = v\r\nignored", "=", 0, 0, 1, {"k ", "v"}},
      {"\"a;b\";c", ";", 0, 0, 1, {"\"a;b\"", "c"}},
      {"a;b,c;d", ";,", 0, ',', 1, {"a", "b,c;d"}},  // stop: later delimiters stay
      {" a;b", ";", 0, 0, 0, {" a", "b"}},            // no trim keeps the blank
      {"a;;b", ";", 0, 0, 1, {"a", "", "b"}},
      {"", ";", 0, 0, 1, {}},
  };
  for (const SplitCase& c : cases) {
    std::string text = c.text;
    char* fields[8];
    int n = splitFields(text.data(), fields, 8, c.delimiters, c.maxFields, c.stop, c.trim);
    std::vector<std::string> got(fields, fields + n);
    EXPECT_EQ(got, c.fields) << c.text;
  }
}

TEST(SplitFieldsTest, NoLimitStillStopsAtTheCallersArray) {
  std::string text = "1;2;3;4;5";
  char* fields[3];
  int n = splitFieldsTrimStopAll(text.data(), fields, 3, ",");
  EXPECT_EQ(n, 1);  // ";" stops splitting in this short form
  text = "1,2,3,4,5";
  n = splitFieldsTrimStopAll(text.data(), fields, 3, ",");
  ASSERT_EQ(n, 3);
  EXPECT_STREQ(fields[2], "3,4,5");
}

TEST(JsStringEscapeTest, NothingLeavesTheString) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain;names-1_2.x", "plain;names-1_2.x"},
      {"a\"b'c\\d", "a\\\"b\\'c\\\\d"},
      {"line\nfeed\ttab\r\x7f", "line\\x0Afeed\\x09tab\\x0D\\x7F"},
      {"</script><b>&amp;", "\\x3C/script\\x3E\\x3Cb\\x3E\\x26amp;"},
      {"$HOME `x`", "$HOME `x`"},
      {"sep\xe2\x80\xa8" "and\xe2\x80\xa9", "sep\\u2028and\\u2029"},
      {"gr\xc3\xbcn", "gr\xc3\xbcn"},
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(JsStringEscape(in), out) << in;
}

TEST(SkipSpacesTest, SkipsLeadingWhiteSpace) { EXPECT_STREQ(SkipSpaces(" \t\nx y"), "x y"); }

std::vector<std::string> Texts(const uint32_t* list, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) {
    in_addr a{list[i]};
    out.push_back(inet_ntoa(a));
  }
  return out;
}

TEST(LocalAddressTest, LoopbackFirstAndUnusableAddressesSkipped) {
  uint32_t* list = nullptr;
  int n = BuildLocalAddressList({"0.0.0.0"}, &list);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(Texts(list, 1), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(list[1], 0u);
  free(list);

  n = BuildLocalAddressList({"192.168.1.5", "255.255.255.255", "", "10.1.2.3"}, &list);
  EXPECT_EQ(Texts(list, n), (std::vector<std::string>{"127.0.0.1", "192.168.1.5", "10.1.2.3"}));
  EXPECT_EQ(list[n], 0u);
  free(list);
}

TEST(LocalAddressTest, HostListStartsWithLoopbackAndEndsWithZero) {
  uint32_t* list = nullptr;
  int n = GetLocalAddressList(&list);
  ASSERT_GE(n, 1);
  EXPECT_EQ(list[0], inet_addr("127.0.0.1"));
  EXPECT_EQ(list[n], 0u);
  free(list);
}

TEST(HostTest, NameAndVersion) {
  char name[64];
  EXPECT_EQ(GetLocalHostName(name, sizeof name), 0);
  EXPECT_GT(strlen(name), 0u);
  EXPECT_EQ(CheckOsVersion(), 0);
  EXPECT_EQ(StartWinsock(), 0);
}

}  // namespace
