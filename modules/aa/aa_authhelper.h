// The sign-in decision the workers ask for. PAM and the level run in a
// helper process that keeps root rights (the workers never read password
// hashes); the workers reach it over a local socket. The helper decides the
// whole outcome, so every refusal, whatever its reason, goes through the one
// refusal path of the LoginGate and takes the same time. Any failure on the
// way means "refused".
#pragma once

#include <string>
#include <vector>

#include "aa_gate.h"
#include "aa_levels.h"

// Why a sign-in was refused; for the log only, never for the client.
enum class LoginRefusal : char {
  kNone = 'a',           // accepted
  kPassword = 'p',       // PAM refused the account or the password
  kNoLevel = 'l',        // the account has no portal level
  kAdministrator = 'r',  // an administrator level is refused for this login
  kAddress = 'x',        // the address rules refused the client: no check ran
  kBusy = 'w',           // too many attempts of the address wait: no check ran
  kMalformed = 'e',      // not a request
};
const char* LoginRefusalText(LoginRefusal reason);

struct LoginRequest {
  std::string address;  // the client's
  std::string user;
  std::string password;
  LevelSettings levels;
  bool refuseAdministrator = false;  // HTTP Basic with reject-prog-admin-login
  bool addressRefused = false;       // refused by the address rules, not checked
};

struct LoginAnswer {
  bool reached = false;  // false: the helper could not be asked (errno says why)
  int level = kLevelNone;
  LoginRefusal reason = LoginRefusal::kMalformed;
};

// The request as the helper receives it: the fields, each ended by a zero
// byte, then the flags. Decoding refuses anything else (a missing or extra
// field, a field over 2048 bytes).
std::string EncodeLoginRequest(const LoginRequest& q);
bool DecodeLoginRequest(const std::vector<char>& body, LoginRequest* q);

// Serves requests on a listening socket until it is shut down; each
// connection on a thread of its own, so one slowed client waits alone.
void ServeAuthRequests(int listenFd, const char* pamService, LoginGate& gate);

LoginAnswer AskAuthHelper(const std::string& socketPath, const LoginRequest& request);
