#include "svc_cmdline.h"

#include <cctype>

#include "svc_events.h"

RunMode ParseCommandLine(const std::string& commandLine, bool alreadyRunning) {
  RunMode mode = RunMode::kExit;
  if (commandLine.empty()) {
    mode = RunMode::kService;
  } else {
    size_t at = commandLine.find('/');
    if (at == std::string::npos) at = commandLine.find('-');
    if (at == std::string::npos) {
      ReportServiceEvent(kEventStartFailed, LoadText(102), EventType::kError);
    } else if (at + 1 < commandLine.size()) {
      switch (tolower(static_cast<unsigned char>(commandLine[at + 1]))) {
        case 'd': mode = RunMode::kDebug; break;
        case 's': if (alreadyRunning) mode = RunMode::kStop; break;
        case 'r': if (alreadyRunning) mode = RunMode::kRestart; break;
        default: break;
      }
    }
  }
  if (alreadyRunning && (mode == RunMode::kService || mode == RunMode::kDebug)) {
    ReportServiceEvent(kEventStartFailed, LoadText(103), EventType::kError);
    mode = RunMode::kExit;
  }
  return mode;
}
