// The probes of the agent ports (inside the core; see bc_core.h).
#pragma once

#include <string>

#include "bc_core.h"

struct BcProbeSetup {
  const char* bindAddress;  // "0.0.0.0" in exclusive-port mode, else "127.0.0.1"
  bool mapWritable;
  std::string baseDir;
  BcWaits waits;
};

enum class BcBind { kFree, kOccupied, kNoAddress, kNoSocket };
// Whether the port is free at the bind address; status is the failing call's.
BcBind BindProbe(const char* address, int port, int* status);

// Everything one occupied port gave, to be replayed in port order.
struct BcPortResult {
  int port = 0;
  bool occupied = false;
  bool freeOnRetry = false;  // the retry found the agent gone: counts as free
  bool endsScan = false;     // an address or socket could not be had
  int status = 0;
  BcTrace trace;
};
// The serial protocol for one port that a bind found occupied: status
// report, registration, reload, and one retry after a failure.
void ProbeOccupiedPort(const BcProbeSetup& setup, int port, BcPortResult* out);

// Reads until the peer closes, the announced length has arrived, cap bytes
// are in, or waitMs is over.
std::string ReadReply(int fd, size_t cap, int waitMs);
// A connected socket to 127.0.0.1:port, or -1.
int ConnectLoopback(int port, int waitMs);
// Registers the agent of a status report (steps replayed later): 1 when a
// record was made, 0 when the report has no usable entry.
int AddVexo(const BcProbeSetup& setup, const char* report, int port, BcTrace* trace);
