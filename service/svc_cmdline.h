// The command line of kelstart.
#pragma once

#include <string>

enum class RunMode { kService = 0, kDebug = 1, kStop = 2, kRestart = 3, kExit = 4 };

// The mode for a command line (the arguments joined by blanks) given
// whether another instance runs. Reports the usage text for a command line
// without "/" or "-", and text 103 for a second service or debug instance.
RunMode ParseCommandLine(const std::string& commandLine, bool alreadyRunning);
