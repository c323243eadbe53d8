// Whether an operating-system group of that name exists.
#pragma once

// "DOMAIN\group" counts only when DOMAIN is this host's name or "BUILTIN"
// (without regard to case); a name that is only a user is not a group.
int KelGroupExists(const char* name);
