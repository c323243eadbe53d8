// Runs under nss_wrapper with fake users and groups (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <string>

#include "cfg_groups.h"
#include "kel_host.h"

namespace {

TEST(GroupCheckTest, GroupsByNameAndDomain) {
  char host[256];
  ASSERT_EQ(GetLocalHostName(host, sizeof host), 0);
  const std::string h = host;
  struct {
    std::string name;
    int found;
  } cases[] = {
      {"kelops", 1},
      {h + "\\kelops", 1},
      {"BUILTIN\\kelops", 1},
      {"builtin\\kelusers", 1},
      {"OTHERDOMAIN\\kelops", 0},
      {"kelalice", 0},  // a user, not a group
      {"kel-no-such-group", 0},
      {h + "\\", 0},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(KelGroupExists(c.name.c_str()), c.found) << c.name;
  EXPECT_EQ(KelGroupExists(nullptr), 0);
}

}  // namespace
