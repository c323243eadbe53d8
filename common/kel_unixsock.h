// Stream sockets: the service's control socket and the login helper's, and
// the whole-buffer send and receive every socket user needs.
#pragma once

#include <sys/types.h>

#include <string>

// Listens at path (an old socket there is removed first); the socket file
// gets mode, owner root and group qxkel. -1 on failure.
int ListenUnixSocket(const std::string& path, mode_t mode, int backlog);
// A connected socket with send and receive time-outs; -1 on failure, with
// errno telling why (ECONNREFUSED: nobody listens).
int ConnectUnixSocket(const std::string& path, int timeoutSeconds);

// The whole buffer, retried after EINTR and short writes (no SIGPIPE);
// false when the peer is gone or the time-out struck.
bool SendAll(int fd, const void* data, size_t size);
// Exactly size bytes; false at an early end, an error or the time-out.
bool RecvAll(int fd, void* data, size_t size);
