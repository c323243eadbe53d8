// Password checks through PAM.
#pragma once

// The PAM service of the portal's logins (/etc/pam.d/kelportal).
constexpr const char kPamService[] = "kelportal";

// 1 when the service authenticates user with password and its account
// checks pass; 0 for anything else, failures of PAM itself included.
int PamAuthenticate(const char* service, const char* user, const char* password);
