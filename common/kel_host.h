// The local host: name, IPv4 addresses, operating-system version.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// IPv4 address text, read and written one way. Strictly four dotted decimal
// parts; addresses in network byte order.
bool ParseIpv4(const std::string& text, uint32_t* networkOrder);
std::string Ipv4Text(uint32_t networkOrder);
// Any 127/8 address.
bool IsLoopbackIpv4(const std::string& text);

// The loopback ports legacy agents listen on: discovery looks for them
// there, and the web server keeps a proxy worker for each.
constexpr int kVexoFirstPort = 49400;
constexpr int kVexoLastPort = 49439;

// Sockets need no start-up here; kept so callers stay as the Windows version has them.
int StartWinsock();

// gethostname into buf; its result (0 on success).
int GetLocalHostName(char* buf, size_t size);

// The local address list: 127.0.0.1, then every IPv4 address of every
// interface in the kernel's order except "0.0.0.0" and "255.255.255.255",
// ended by a 0 entry; addresses in network byte order. The caller releases
// *list with free(). Returns the number of addresses (0 means no list).
int GetLocalAddressList(uint32_t** list);

// The list built from address texts as the interfaces report them.
int BuildLocalAddressList(const std::vector<std::string>& addressTexts, uint32_t** list);

// 1 only for the Windows version's newer server platform; 0 on Linux, so that the
// lock-ports and rotate-logs defaults follow the "other platform" branch.
int CheckOsVersion();
