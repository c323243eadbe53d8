// Group configuration over CIM-XML for the "/CIMOM" dispatch.
#pragma once

#include "httpd.h"

// A management server's request for the proxy object. 0 with nothing
// written when it is not a method call on root/dornik/proxy; -1 when the
// body is oversized, unreadable or not a readable document (the status then
// says which); 302 when a changing method is refused (the redirect is set);
// 1 when an answer was written, except 0 when the restart ApplyToAll asked
// for failed.
int HandleCimRequest(request_rec* r);

// A debug line to the error log of the request (at emergency level, where
// the Windows version wrote them, so no LogLevel hides them).
void KelErrorLogLine(void* request, const char* line);
