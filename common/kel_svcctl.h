// The service's control socket <write directory>/run/kelsvc.sock: what the
// service control manager was to the Windows version. One request per
// connection, one line each way:
//   "CONTROL <n>\n" -> "STATE <s>\n", or "REFUSED\n" when not accepted now
//   "STATUS\n"      -> "STATE <s>\n"
#pragma once

#include <string>

// Service states, numbered as the Windows service manager numbers them.
constexpr int kStateStopped = 1;
constexpr int kStateStartPending = 2;
constexpr int kStateStopPending = 3;
constexpr int kStateRunning = 4;

// Controls.
constexpr int kControlStop = 1;
constexpr int kControlShutdown = 5;
constexpr int kControlRestart = 128;

std::string ServiceRunDir();     // <write directory>/run
std::string ServiceSocketPath(); // <write directory>/run/kelsvc.sock
std::string ServiceLockPath();   // <write directory>/run/kelsvc.lock

// Outcome of a request, in the order kelreset reports failures.
enum class ServiceCall {
  kOk,
  kNoManager,   // the run directory cannot be reached
  kNoService,   // no socket, or no right to use it
  kSendFailed,  // nobody listens, or the control was refused
  kQueryFailed, // the answer could not be read
};

ServiceCall ServiceSendControl(int control, int* state);
ServiceCall ServiceQueryStatus(int* state);

// How long clients wait for a start-pending service: 60 polls of 1000 ms.
// Tests shorten both through KELSVC_TEST_POLL="<ms>,<count>".
struct ServicePoll {
  int intervalMs;
  int count;
};
ServicePoll ServicePollSettings();

// Asks the service to restart the web server and waits while it reports
// start-pending; 1 when it ends up running, 0 otherwise.
int RequestServiceRestart();
