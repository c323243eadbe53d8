#include "svc_status.h"

#include <systemd/sd-daemon.h>

#include <condition_variable>
#include <mutex>

#include "kel_svcctl.h"

namespace {

std::mutex g_lock;
std::condition_variable g_changed;
int g_state = kStateStopped;

// ReportServiceStatus: whoever waits for a change, and systemd's view.
void Notify(int old, int state) {
  g_changed.notify_all();
  if (state == kStateRunning && old != kStateRunning)
    sd_notify(0, "READY=1\nSTATUS=running");
  else if (state == kStateStartPending && old == kStateRunning)
    sd_notify(0, "RELOADING=1\nSTATUS=restarting the web server");
  else if (state == kStateStopPending && old != kStateStopPending)
    sd_notify(0, "STOPPING=1");
}

}  // namespace

int CurrentState() {
  std::lock_guard<std::mutex> hold(g_lock);
  return g_state;
}

void SetState(int state) {
  int old;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    old = g_state;
    g_state = state;
  }
  Notify(old, state);
}

bool ChangeState(int from, int to) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    if (g_state != from) return false;
    g_state = to;
  }
  Notify(from, to);
  return true;
}

int WaitWhileState(int state, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(g_lock);
  g_changed.wait_for(hold, timeout, [state] { return g_state != state; });
  return g_state;
}
