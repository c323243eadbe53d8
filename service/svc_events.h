// The service's string resources and event messages. Events go to syslog
// (ident "kelsvc") with their id; outside the journal they are also shown on
// standard error.
#pragma once

#include <cstdint>

// String resources by id (101 to 110, 167); "" for an unknown id.
const char* LoadText(int id);

constexpr uint32_t kEventStarted = 0x40FF0009;
constexpr uint32_t kEventStopped = 0x40FF000A;
constexpr uint32_t kEventStartFailed = 0xC0FF000B;
constexpr uint32_t kEventStopFailed = 0xC0FF000C;

enum class EventType { kInformation, kError };

void OpenEventLog();
// One event: the message of id with text as its insertion string.
void ReportServiceEvent(uint32_t id, const char* text, EventType type);
// The same with the system's text for an error number (empty for 0).
void ReportSystemError(uint32_t id, int error, EventType type);

namespace kel::testing {
// Sees every event (id and full message) before it goes to syslog.
void SetEventSink(void (*sink)(uint32_t id, const char* message));
}  // namespace kel::testing
