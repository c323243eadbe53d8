// Local stream sockets: the service's control socket and the login helper's.
#pragma once

#include <sys/types.h>

#include <string>

// Listens at path (an old socket there is removed first); the socket file
// gets mode, owner root and group qxkel. -1 on failure.
int ListenUnixSocket(const std::string& path, mode_t mode, int backlog);
// A connected socket with send and receive time-outs; -1 on failure, with
// errno telling why (ECONNREFUSED: nobody listens).
int ConnectUnixSocket(const std::string& path, int timeoutSeconds);
