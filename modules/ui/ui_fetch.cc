// The certificate of a management server, fetched from its port 280.
#include <cstring>
#include <string>

#include "httpd.h"
#include "apr_network_io.h"
#include "apr_strings.h"
#include "apr_time.h"
#include "http_protocol.h"
#include "kel_config.h"
#include "kel_files.h"
#include "kel_text.h"
#include "ui_core.h"
#include "ui_module.h"


namespace {

constexpr apr_port_t kManagementPort = 280;
constexpr size_t kAnswerSize = 4096;
constexpr char kRequest[] = "GET /GetCertificate HTTP/1.0\r\n\r\n";
// A server that accepts and never answers must not hold a request thread:
// the connect, the send and every read share one deadline.
constexpr apr_interval_time_t kFetchLimit = apr_time_from_sec(10);

// The first IPv4 address of the name (the socket is IPv4), else the first.
apr_sockaddr_t* Ipv4First(apr_sockaddr_t* list) {
  for (apr_sockaddr_t* a = list; a; a = a->next)
    if (a->family == APR_INET) return a;
  return list;
}

// What is left of the deadline; at least a microsecond, so that a socket
// never falls back to blocking for ever.
apr_interval_time_t Left(apr_time_t deadline) {
  apr_interval_time_t left = deadline - apr_time_now();
  return left > 0 ? left : 1;
}

// The answer, up to kAnswerSize - 1 bytes; kFetchOk or kFetchNoAnswer.
int Receive(apr_socket_t* s, apr_time_t deadline, char* buffer, size_t* got) {
  *got = 0;
  for (;;) {
    if (*got >= kAnswerSize - 1) return kFetchOk;
    apr_socket_timeout_set(s, Left(deadline));
    apr_size_t n = kAnswerSize - 1 - *got;
    apr_status_t rv = apr_socket_recv(s, buffer + *got, &n);
    *got += n;
    if (APR_STATUS_IS_EOF(rv) || (rv == APR_SUCCESS && n == 0)) return *got ? kFetchOk : kFetchNoAnswer;
    if (rv != APR_SUCCESS) return kFetchNoAnswer;
  }
}

void StoreSessionCert(request_rec* r, const char* pem) {
  std::string path = UiSessionCertFile(r);
  if (path.empty()) return;
  if (AtomicWriteFile(path.c_str(), pem, strlen(pem), 0600) != 0)
    LogOutput(1, "FetchServerCertificate: cannot write the session certificate file %s.", path.c_str());
}

void EmitRawData(request_rec* r, const char* tag, const char* pem) {
  ap_rprintf(r, "%s.rawdata = new Array;\n%s.rawdata[%s.rawdata.length] = \"", tag, tag, tag);
  std::vector<std::string> lines = UiCertLines(pem);
  for (size_t i = 0; i < lines.size(); ++i) {
    ap_rprintf(r, "%s\"", JsStringEscape(lines[i]).c_str());
    if (i + 1 < lines.size()) ap_rprintf(r, ";\n%s.rawdata[ %s.rawdata.length ] = \"", tag, tag);
  }
  ap_rputs(";\n", r);
}

}  // namespace

int FetchServerCertificate(const char* tag, request_rec* r, const char* server, int emit) {
  char* buffer = static_cast<char*>(apr_pcalloc(r->pool, kAnswerSize));
  apr_time_t deadline = apr_time_now() + kFetchLimit;
  apr_sockaddr_t* addresses = nullptr;
  if (!server || apr_sockaddr_info_get(&addresses, server, APR_UNSPEC, kManagementPort, 0, r->pool) != APR_SUCCESS ||
      !addresses)
    return kFetchNoAddress;
  apr_socket_t* s = nullptr;
  if (apr_socket_create(&s, APR_INET, SOCK_STREAM, APR_PROTO_TCP, r->pool) != APR_SUCCESS) return kFetchNoSocket;
  apr_socket_timeout_set(s, Left(deadline));
  if (apr_socket_connect(s, Ipv4First(addresses)) != APR_SUCCESS) {
    apr_socket_close(s);
    return kFetchNoConnection;
  }
  apr_socket_timeout_set(s, Left(deadline));
  apr_size_t length = sizeof kRequest - 1;
  size_t got = 0;
  int rc = apr_socket_send(s, kRequest, &length) == APR_SUCCESS ? Receive(s, deadline, buffer, &got) : kFetchNoAnswer;
  apr_socket_close(s);
  if (rc != kFetchOk) return rc;
  buffer[got] = '\0';

  int status = UiHttpStatus(buffer);
  const char* pem = strstr(buffer, "-----BEGIN CERT");
  if (emit) ap_rprintf(r, "%s.httprc = %d;\n", tag, status);
  if (!pem) return kFetchNoCertificate;
  StoreSessionCert(r, pem);
  if (emit) EmitRawData(r, tag, pem);
  return kFetchOk;
}
