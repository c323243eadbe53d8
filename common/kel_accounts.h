// Accounts and groups of the operating system (NSS).
#pragma once

#include <sys/types.h>

#include <string>

// The account (and its group) the web server's workers and the servlet
// container run as.
constexpr const char* kServiceAccount = "qxkel";

bool LookupUser(const char* user, uid_t* uid, gid_t* gid);
bool LookupGroup(const char* name, gid_t* gid);
// The group's name, or "" when the id has none.
std::string GroupNameOf(gid_t gid);

// A name as settings may write it: "DOMAIN\name" names a local account only
// when DOMAIN is this host's name or "BUILTIN" (without regard to case).
// The local name, or "" for another domain.
std::string LocalAccountName(const std::string& qualified);
