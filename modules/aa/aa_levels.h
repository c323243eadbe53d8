// The access level of an OS account, from its groups and the login settings.
#pragma once

#include <string>
#include <vector>

// Levels as the login notes carry them.
constexpr int kLevelNone = 0;
constexpr int kLevelAnonymous = 1;
constexpr int kLevelUser = 2;
constexpr int kLevelOperator = 3;
constexpr int kLevelAdministrator = 4;

struct LevelSettings {
  std::string adminGroups;     // ";" separated group names
  std::string operatorGroups;
  std::string userGroups;
  bool allowDefaultOsAdmin = true;
};

// The OS's administrator group on this platform.
constexpr const char kOsAdminGroup[] = "sudo";

// The names of the account's groups (primary and supplementary); empty when
// the account does not exist.
std::vector<std::string> AccountGroups(const char* user);

// The highest level that applies: a group in admin-group 4, operator-group
// 3, user-group 2; with allowDefaultOsAdmin root and members of the OS's
// administrator group 4. kLevelNone when nothing applies.
int AccessLevel(const char* user, const LevelSettings& settings);
