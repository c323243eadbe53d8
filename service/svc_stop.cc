#include "svc_stop.h"

#include <unistd.h>

#include <cerrno>

#include "kel_svcctl.h"
#include "svc_events.h"
#include "svc_process.h"

void StopService() {
  // The service shuts its own web server down: only it knows that process.
  int state = 0;
  ServiceCall r = ServiceSendControl(kControlStop, &state);
  if (r == ServiceCall::kNoManager) {
    ReportSystemError(kEventStopFailed, errno, EventType::kError);
  } else if (r == ServiceCall::kNoService) {
    ReportServiceEvent(kEventStopFailed, LoadText(108), EventType::kError);
  } else if (r == ServiceCall::kOk) {
    ServicePoll poll = ServicePollSettings();
    usleep(static_cast<useconds_t>(poll.intervalMs) * 1000);
    // A service that is gone has stopped: its socket goes with it.
    for (int i = 0; i < poll.count && state != kStateStopped; ++i) {
      if (ServiceQueryStatus(&state) != ServiceCall::kOk) {
        state = kStateStopped;
        break;
      }
      if (state == kStateStopPending) usleep(static_cast<useconds_t>(poll.intervalMs) * 1000);
    }
    if (state != kStateStopped) ReportSystemError(kEventStopFailed, ETIMEDOUT, EventType::kError);
  }
  TerminateStaleProcesses();
  TerminateStaleServletContainers();
}
