// A helper process that keeps root rights for the few things the web
// server's workers (qxkel) must not do themselves: checking passwords,
// using the server's private key. It is forked from the root parent in a
// post_config hook and serves the workers on a local socket that only the
// qxkel group may use. The parent starts a new one when it dies, as mod_cgid
// restarts its daemon, and stops it, within a bound, when the configuration
// it belongs to goes (a restart or the end of the server).
#pragma once

#include "httpd.h"

// What a root helper is: how it is named in logs and the process list, where
// it listens, and what it serves.
struct KelRootHelper {
  int moduleIndex;          // the module's in the error log: APLOG_MODULE_INDEX
  const char* logPrefix;    // the module's name in log lines: "kel_aa"
  const char* what;         // the helper in log lines: "the password helper"
  const char* processName;  // its name in the process list (at most 15 characters)
  const char* consequence;  // what fails without it: "every login is refused"
  const char* socketPath;   // listened on with mode 0660, root:qxkel
  // Runs in the helper with the listening socket until it returns; the
  // helper then ends.
  void (*serve)(int listenFd, void* arg);
  void* arg;
};

// Starts the helper for the configuration of pconf (the description is copied).
// false when it could not be started; that is logged, with the consequence,
// in the web server's error log and the diagnostic log.
bool KelStartRootChild(apr_pool_t* pconf, server_rec* s, const KelRootHelper& helper);
