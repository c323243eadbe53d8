#include "svc_events.h"

#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Text {
  int id;
  const char* text;
};

const Text kTexts[] = {
    {101, "Unable to determine operating system version."},
    {102,
     "Usage: KELStart.exe [/d | /k]\n   /d = Debug mode - runs as a process.\n  /k = Shutdown/restart HTTP server "},
    {103, "QX Kel Portal service is already running."},
    {104, "Start QX Kel Portal service dispatcher"},
    // Shown in a terminal, where Enter and Ctrl-C stop the debug run.
    {105, "QX Kel Portal is running...\n\nPress Enter or Ctrl-C to stop."},
    {106, "QX Kel Portal failed to start."},
    {108, "QX Kel Portal Service is not running"},
    {109, "Register Service Handler"},
    {110, "Send service status"},
    {167, "QX Kel Portal Process failed to restart"},
};

struct Message {
  uint32_t id;
  const char* text;  // %1 is the insertion string
};

const Message kMessages[] = {
    {0x40FF0009, "The QX Kel Portal Win32 service has been started successfully. %1"},
    {0x40FF000A, "The QX Kel Portal Win32 service has been stopped successfully. %1"},
    {0xC0FF000B, "The QX Kel Portal Win32 service could not be started successfully. %1"},
    {0xC0FF000C, "The QX Kel Portal Win32 service could not be stopped successfully. %1"},
};

void (*g_eventSink)(uint32_t, const char*) = nullptr;

}  // namespace

namespace kel::testing {
void SetEventSink(void (*sink)(uint32_t, const char*)) { g_eventSink = sink; }
}  // namespace kel::testing

const char* LoadText(int id) {
  for (const Text& t : kTexts)
    if (t.id == id) return t.text;
  return "";
}

void OpenEventLog() {
  // Under systemd standard error is the journal already.
  int options = LOG_PID | (getenv("JOURNAL_STREAM") ? 0 : LOG_PERROR);
  openlog("kelsvc", options, LOG_DAEMON);
}

void ReportServiceEvent(uint32_t id, const char* text, EventType type) {
  std::string message;
  for (const Message& m : kMessages)
    if (m.id == id) message = m.text;
  size_t at = message.find("%1");
  if (at != std::string::npos) message.replace(at, 2, text ? text : "");
  if (g_eventSink) g_eventSink(id, message.c_str());
  syslog(type == EventType::kError ? LOG_ERR : LOG_INFO, "event 0x%08X: %s", id, message.c_str());
}

void ReportSystemError(uint32_t id, int error, EventType type) {
  char buf[255] = "";
  if (error != 0) snprintf(buf, sizeof buf, "%s", strerror(error));
  ReportServiceEvent(id, buf, type);
}
