// kelreset: asks the running service to regenerate its configuration and
// restart the web server, waits until it runs again, and says how it went.
#include <unistd.h>

#include <cstdio>

#include "kel_svcctl.h"

namespace {

struct Outcome {
  int code;
  const char* text;  // null: nothing is printed
};

constexpr Outcome kOutcomes[] = {
    {0, "The QX Kel Portal has been reset.\n"},
    {1, "Unable to open the Service Control Manager.\n"},
    {2, "Unable to open the QX Kel Portal service.\n"},
    {3, "An error occurred when sending the restart message to \nthe QX Kel Portal service.\n"},
    {4, "An error occurred while attempting to retrieve status information \nfrom the QX Kel Portal service.\n"},
    {5, "A timeout occurred while retrieving status information \nfrom the QX Kel Portal service.\n"},
    {-1, nullptr},
};

int Reset() {
  int state = 0;
  switch (ServiceSendControl(kControlRestart, &state)) {
    case ServiceCall::kOk: break;
    case ServiceCall::kNoManager: return 1;
    case ServiceCall::kNoService: return 2;
    case ServiceCall::kSendFailed: return 3;
    case ServiceCall::kQueryFailed: return 4;
  }
  ServicePoll poll = ServicePollSettings();
  int polls = 0;
  while (state == kStateStartPending) {
    usleep(static_cast<useconds_t>(poll.intervalMs) * 1000);
    if (ServiceQueryStatus(&state) != ServiceCall::kOk) return 4;
    if (++polls >= poll.count) return 5;
  }
  return state == kStateRunning ? 0 : -1;
}

}  // namespace

int main() {
  int code = Reset();
  for (const Outcome& o : kOutcomes)
    if (o.code == code && o.text) fputs(o.text, stdout);
  return code;
}
