// The service program's diagnostic-log writer and its message boxes.
#pragma once

// Sets the log path, <write directory>/logs/kel.log. Called at program start;
// ServiceLog calls it itself when nobody did.
void ServiceLogInit();

// One record in the diagnostic log (severity 0 information, 1 warning,
// 2 error, 3 critical). Calls from the service's threads are serialised; the
// record is locked against the web server's writers too.
int ServiceLog(int severity, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Debug mode (kelstart /d) shows its message boxes on standard error.
extern bool g_debugMode;
void ServiceMessageBox(const char* title, const char* text);
