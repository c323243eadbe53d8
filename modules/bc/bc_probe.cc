// The conversation with one agent: status report, extension lookup and
// reload, each reply read until it is provably whole or its wait is over.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "bc_probe.h"

#include "kel_unixsock.h"

namespace {

using Clock = std::chrono::steady_clock;

// The bytes the agents expect, their terminating zero included where the
// protocol sends it.
constexpr char kStatusRequest[] = "GET /proxy/zqstatusreport HTTP/1.0 \r\nDornik-HTTPServerVersion: 99990000 \r\n\r\n";
constexpr char kReloadRequest[] = "GET /Proxy/ReloadIniFile HTTP/1.0\r\n";
constexpr char kLookupRequest[] =
    "GET /Proxy/LookupTag/%s?StringWorkingSet=ExtensionBase HTTP/1.0 \r\nDornik-HTTPServerVersion: 99990000 \r\n\r\n";
static_assert(sizeof kStatusRequest == 77 && sizeof kReloadRequest == 36);
constexpr size_t kReportCap = 4096;
constexpr size_t kLookupCap = 1023;

int Remaining(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

// The announced Content-Length has arrived (false while the headers are
// incomplete or carry no length).
bool LengthArrived(const std::string& bytes) {
  size_t end = bytes.find("\r\n\r\n");
  if (end == std::string::npos) return false;
  size_t at = 0;
  while (at < end) {
    size_t eol = bytes.find("\r\n", at);
    if (eol == std::string::npos || eol > end) eol = end;
    if (eol - at > 15 && strncasecmp(bytes.data() + at, "Content-Length:", 15) == 0) {
      char* stop = nullptr;
      unsigned long long length = strtoull(bytes.c_str() + at + 15, &stop, 10);
      return bytes.size() - (end + 4) >= length;
    }
    at = eol + 2;
  }
  return false;
}

struct Fd {
  int fd = -1;
  ~Fd() { Close(); }
  void Close() {
    if (fd >= 0) {
      shutdown(fd, SHUT_WR);
      close(fd);
    }
    fd = -1;
  }
};

}  // namespace

std::string ReadReply(int fd, size_t cap, int waitMs) {
  std::string bytes;
  auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  char buf[4096];
  while (bytes.size() < cap && !LengthArrived(bytes)) {
    pollfd p{fd, POLLIN, 0};
    int ready = poll(&p, 1, Remaining(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    ssize_t n = recv(fd, buf, std::min(sizeof buf, cap - bytes.size()), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // closed or reset: all there is
    bytes.append(buf, static_cast<size_t>(n));
  }
  return bytes;
}

// Text as the serial scan had it: a zeroed buffer read as a C string.
std::string AsText(const std::string& bytes) { return std::string(bytes.c_str()); }

int ConnectLoopback(int port, int waitMs) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
  if (rc != 0 && errno == EINPROGRESS) {
    pollfd p{fd, POLLOUT, 0};
    int err = 0;
    socklen_t len = sizeof err;
    rc = poll(&p, 1, waitMs) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0 ? 0 : -1;
  }
  if (rc != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

BcBind BindProbe(const char* address, int port, int* status) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int rc = getaddrinfo(address, service.c_str(), &hints, &found);
  if (rc != 0 || !found) {
    *status = rc;
    return BcBind::kNoAddress;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *status = errno;
    freeaddrinfo(found);
    return BcBind::kNoSocket;
  }
  // A port held only by connections in TIME_WAIT (an agent that closed
  // first) has no agent listening: on Linux a bind without SO_REUSEADDR
  // would still call it occupied for a minute. A listener keeps it occupied.
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  bool free = bind(fd, found->ai_addr, found->ai_addrlen) == 0;
  *status = free ? 0 : errno;
  freeaddrinfo(found);
  shutdown(fd, SHUT_WR);
  close(fd);
  return free ? BcBind::kFree : BcBind::kOccupied;
}

int AddVexo(const BcProbeSetup& setup, const char* report, int port, BcTrace* trace) {
  if (!report) return 0;
  WebApp app;
  if (!ParseVexoReport(report, port, &app, trace)) return 0;
  if (!VexoNameIsMapKey(app.sAppName, setup.baseDir)) {
    BcTraceLog(trace, BcLogKind::kDiagnostic,
               "addVEXOtoWebAppList: the agent on port %d calls itself \"%s\", which cannot be a key of the map "
               "file; it is not registered.",
               port, app.sAppName);
    return 0;
  }

  Fd lookup;
  lookup.fd = ConnectLoopback(port, setup.waits.lookupMs);
  if (lookup.fd >= 0) {
    char request[sizeof kLookupRequest + sizeof app.sAppName];
    int n = snprintf(request, sizeof request, kLookupRequest, app.sAppName);
    if (SendAll(lookup.fd, request, static_cast<size_t>(n))) {
      std::string reply = AsText(ReadReply(lookup.fd, kLookupCap, setup.waits.lookupMs));
      size_t body = reply.find("\r\n\r\n");
      if (!reply.empty() && body != std::string::npos) {
        BcTraceLog(trace, BcLogKind::kDebug, "ExtensionBAse=%s", reply.c_str() + body + 4);
        ApplyExtensionBase(reply.c_str() + body + 4, &app);
      }
    }
  }
  lookup.Close();

  if (setup.mapWritable) {
    std::string lines = VexoMapLines(app.sAppName, port);
    trace->push_back(BcStep{BcStep::kMapLines, BcLogKind::kDebug, lines, {}});
    BcTraceLog(trace, BcLogKind::kDebug, "addVEXOtoWebAppList: Writing to mapfile-\n%s",
               lines.substr(0, lines.find('\n') + 1).c_str());
  } else {
    BcTraceLog(trace, BcLogKind::kDebug, "addVEXOtoWebAppList: Error opening mapfile");
  }
  trace->push_back(BcStep{BcStep::kRegister, BcLogKind::kDebug, "", {app}});
  // The registry's answer comes when the step is replayed; it fails only
  // when memory does.
  return 1;
}

void ProbeOccupiedPort(const BcProbeSetup& setup, int port, BcPortResult* out) {
  bool retried = false;
  for (;;) {
    if (retried) {
      int status = 0;
      BcBind bound = BindProbe(setup.bindAddress, port, &status);
      out->status = status;
      if (bound == BcBind::kNoAddress || bound == BcBind::kNoSocket) {
        if (bound == BcBind::kNoAddress)
          BcTraceLog(&out->trace, BcLogKind::kDiagnostic, "Address resolution failed for %s: %s\n", setup.bindAddress,
                     gai_strerror(status));
        else
          BcTraceLog(&out->trace, BcLogKind::kDiagnostic, "Couldn't create socket\n");
        out->endsScan = true;
        return;
      }
      if (bound == BcBind::kFree) {
        BcTraceLog(&out->trace, BcLogKind::kDebug, "getVEXOs: Port %d available.  Moving on to next port.", port);
        out->freeOnRetry = true;
        return;
      }
    }
    BcTraceLog(&out->trace, BcLogKind::kDebug, "getVEXOs: port %d occupied, attempting ZQStatusReport.", port);
    Fd agent;
    agent.fd = ConnectLoopback(port, setup.waits.statusMs);
    if (agent.fd < 0 || !SendAll(agent.fd, kStatusRequest, sizeof kStatusRequest)) return;
    int wait = setup.waits.statusMs + (retried ? setup.waits.retryExtraMs : 0);
    std::string bytes = ReadReply(agent.fd, kReportCap, wait);
    std::string report = AsText(bytes);
    BcTraceLog(&out->trace, BcLogKind::kDebug, "getVEXOs: portNum=%d, ZQStatusReport dataRecv:\n%s.", port,
               report.c_str());
    bool failed;
    if (bytes.size() <= 20) {
      BcTraceLog(&out->trace, BcLogKind::kDiagnostic, "Unable to get ZQStatusReport.");
      failed = true;
    } else {
      // The lookup (its own connection) and the reload (this one) do not
      // depend on each other: their waits overlap. Their steps are kept in
      // the serial order.
      int registered = 0;
      BcTrace lookup;
      std::thread registration([&] {
        try {
          registered = AddVexo(setup, report.c_str(), port, &lookup);
        } catch (...) {
          lookup.clear();
        }
      });
      bool reloaded = SendAll(agent.fd, kReloadRequest, sizeof kReloadRequest);
      std::string reload = reloaded ? AsText(ReadReply(agent.fd, kReportCap, setup.waits.reloadMs)) : "";
      registration.join();
      for (BcStep& step : lookup) out->trace.push_back(std::move(step));
      if (reloaded)
        BcTraceLog(&out->trace, BcLogKind::kAlways, "reload ini file called: portNum=%d, dataRecv:\n%s.", port,
                   reload.c_str());
      failed = registered == 0;
    }
    agent.Close();
    if (!failed || retried) return;
    BcTraceLog(&out->trace, BcLogKind::kDebug, "getVEXOs: retry zqstatusreport request on port %d.", port);
    retried = true;
  }
}
