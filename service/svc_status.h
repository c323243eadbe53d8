// The service's state, as the control socket reports it and as systemd
// learns it (readiness and reload notices).
#pragma once

#include <chrono>

int CurrentState();
// Sets the state, wakes whoever waits for a change and tells systemd.
void SetState(int state);
// Sets to only when the state is from (a stop that came in between wins);
// true when it was set.
bool ChangeState(int from, int to);
// Waits at most timeout while the state is `state`; the state then.
int WaitWhileState(int state, std::chrono::milliseconds timeout);
