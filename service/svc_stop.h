// The stop client (kelstart /s): asks the running service to stop and
// waits for it, then ends stray web-server processes.
#pragma once

void StopService();
