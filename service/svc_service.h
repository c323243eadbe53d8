// The service: start-up sequence, control socket, supervision of the web
// server, restart and stop.
#pragma once

// Runs the service in the foreground until it is stopped; the debug run
// shows its progress on standard error and also ends on Enter, SIGINT or
// SIGTERM. Returns the process exit code.
int RunService(bool debug);

// kelstart /s: shut the web server down, stop the running service, end
// stray processes.
void StopService();

// Regenerates everything and restarts the web server gracefully; false
// (after the restart-failure event) when a step failed.
bool RestartWebServer();

// Certificate check and session directories; 0 on success.
int PrepareWebServer();

// Takes the single-instance lock (<write>/run/kelsvc.lock) for the life of
// the process; *alreadyRunning when another instance holds it.
bool AcquireInstanceLock(bool* alreadyRunning);
