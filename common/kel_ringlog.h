// The diagnostic log's ring file: a 9-byte header "%08X\n" with the offset
// of the next record, then records "\n\n<severity name> (severity=N)  <time>\n"
// followed by the message; past 200000 bytes writing starts again at 9.
#pragma once

#include <cstdarg>
#include <cstddef>

constexpr long kRingLogLimit = 200000;
constexpr long kRingLogHeaderSize = 9;

// "INFORMATION LOG", "WARNING LOG", "ERROR LOG", "CRITICAL ERROR LOG";
// null outside 0..3.
const char* RingLogSeverityName(int severity);

// Appends one record. The whole record is written under an exclusive advisory
// lock on the file, so the service and the web server never interleave.
// Returns the message's length, or -1 when the file cannot be opened or the
// severity is not 0..3.
int RingLogWrite(const char* path, int severity, const char* message);
int RingLogWriteV(const char* path, int severity, const char* format, va_list args);
