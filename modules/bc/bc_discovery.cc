// Discovery of the agents on the loopback ports 49400-49439.
//
// The serial scan waits seconds on every occupied port; here every
// occupied port is probed at once, each on its own thread, with the same
// bytes and the same longest waits, and what each probe would have logged,
// written to the map or registered is replayed afterwards in port order. So
// the log, the map file and the registry end as the serial scan leaves
// them, in about the time of the slowest agent instead of the sum of all.
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "bc_probe.h"
#include "kel_files.h"

namespace {

constexpr char kMapHeader[] = "#This mapfile is required for backwards compatibility.\n\n";

// On Linux the platform test of the serial design never holds, so only
// "lock-ports" 1 turns the mode on.
bool ExclusivePorts(const char* lockPorts) { return lockPorts && atoi(lockPorts) == 1; }

}  // namespace

int DiscoverVexos(BcDiscoveryHost& host, const BcWaits& waits) {
  BcProbeSetup setup;
  setup.bindAddress = ExclusivePorts(host.LockPorts()) ? "0.0.0.0" : "127.0.0.1";
  setup.baseDir = host.baseDir;
  setup.waits = waits;

  BcLog(host.log, BcLogKind::kDebug, "getVEXOs: start with new mapfile.");
  // Agents already known stay reachable while the scan runs: the map file
  // is replaced whole at the end. Here only its writability is asked.
  {
    FilePtr probe(fopen(host.mapPath.c_str(), "a"));
    setup.mapWritable = probe != nullptr;
  }
  if (!setup.mapWritable) BcLog(host.log, BcLogKind::kDiagnostic, "Unable to open mapfile.");

  // Which ports are occupied is a matter of binds alone, quick and in
  // order; the free-port count a retry may still change is settled below.
  std::vector<std::unique_ptr<BcPortResult>> ports;
  int free = 0;
  for (int port = kVexoFirstPort; port <= kVexoLastPort && free < kVexoFreePortsStop; ++port) {
    auto result = std::make_unique<BcPortResult>();
    result->port = port;
    BcBind bound = BindProbe(setup.bindAddress, port, &result->status);
    if (bound == BcBind::kNoAddress) {
      BcTraceLog(&result->trace, BcLogKind::kDiagnostic, "Address resolution failed for %s: %s\n", setup.bindAddress,
                 gai_strerror(result->status));
      result->endsScan = true;
    } else if (bound == BcBind::kNoSocket) {
      BcTraceLog(&result->trace, BcLogKind::kDiagnostic, "Couldn't create socket\n");
      result->endsScan = true;
    } else if (bound == BcBind::kFree) {
      ++free;
      BcTraceLog(&result->trace, BcLogKind::kDebug, "getVEXOs: Port %d available.  Moving on to next port.", port);
    } else {
      free = 0;
      result->occupied = true;
    }
    bool ends = result->endsScan;
    ports.push_back(std::move(result));
    if (ends) break;
  }

  std::vector<std::thread> probes;
  for (auto& result : ports) {
    if (!result->occupied) continue;
    BcPortResult* out = result.get();
    probes.emplace_back([&setup, out] {
      try {
        ProbeOccupiedPort(setup, out->port, out);
      } catch (...) {
        // Only memory can fail here; the port then counts as silent.
        out->trace.clear();
      }
    });
  }
  for (std::thread& t : probes) t.join();

  // Replay in port order with the serial count of free ports.
  std::string map = kMapHeader;
  int status = 0;
  free = 0;
  for (auto& result : ports) {
    if (free >= kVexoFreePortsStop) break;
    for (BcStep& step : result->trace) {
      switch (step.kind) {
        case BcStep::kLog:
          BcReplayLog(host.log, step);
          break;
        case BcStep::kMapLines:
          map += step.text;
          break;
        case BcStep::kRegister: {
          WebApp& app = step.app.front();
          int retval = host.Register(&app);
          BcLog(host.log, BcLogKind::kDebug, "addVEXOtoWebAppList: called AddSingleWebApp \nretval=%d, webApp->sAppName=%s",
                retval, app.sAppName);
          break;
        }
      }
    }
    status = result->status;
    if (result->endsScan) break;
    free = result->occupied ? (result->freeOnRetry ? 1 : 0) : free + 1;
  }
  if (setup.mapWritable && AtomicWriteFile(host.mapPath.c_str(), map.data(), map.size()) != 0)
    BcLog(host.log, BcLogKind::kDiagnostic, "Unable to open mapfile.");
  return status;
}
