// The service: its start-up sequence and main loop. The concerns it uses
// have files of their own: svc_status (state and readiness notices),
// svc_control (control socket), svc_supervise (the web server, restarts,
// health, back-off), svc_lock (instance lock), svc_stop (stop client).
#pragma once

// Runs the service in the foreground until it is stopped; the debug run
// shows its progress on standard error and also ends on Enter, SIGINT or
// SIGTERM. Returns the process exit code.
int RunService(bool debug);

// Regenerates what a restart is made from: certificate check, settings and
// configuration, map file, php.ini. False (after the restart-failure
// event) when a step failed.
bool RegenerateConfiguration();

// Certificate check, run and session directories; 0 on success.
int PrepareWebServer();
