// The diagnostic log inside the web server: its paths, the debug
// categories and the ring-file reader. The writer is the shared one.
#pragma once

#include <cstdio>
#include <string>

struct apr_thread_rwlock_t;

// The log lock; LogOutput and the reader take it (the other modules' calls
// come through the exports).
void SetLogLock(apr_thread_rwlock_t* lock);
apr_thread_rwlock_t* LogLock();

// Builds the paths from the write and WBEM directories, clears the
// categories and reads conf/debug.ini.
void InitDiagnosticLog();
// The categories a debug.ini text switches on.
unsigned ParseDebugIni(FILE* in);

const std::string& KelLogFilePath();
const std::string& OrvLogFilePath();

// The log's text oldest first, "<" and ">" escaped, less the record cut in
// two by the last write; false when the file cannot be opened.
bool ReadRingLog(const std::string& path, std::string* out);

// One line to the web server's error log through sink, when category
// "kel_config" is on.
void ConfigDebugLine(void (*sink)(void* context, const char* line), void* context, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
