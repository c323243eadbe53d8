// What the fuzz targets would take from the settings module: the
// diagnostic log and the debug switches, both silent.
#include "kel_config.h"

extern "C" {
int LogOutput(int, const char*, ...) { return 0; }
int DebugCategory(int) { return 0; }
}
