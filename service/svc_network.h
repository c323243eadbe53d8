// The legacy port claim and the address-change watch.
#pragma once

#include <functional>

// Binds 0.0.0.0:2301 (address reuse on) and keeps the socket for the life
// of the program, asking the current holder to let go between attempts;
// 20 attempts. True when the port is held.
bool ClaimLegacyPort();
// The reconnect request to 127.0.0.1:2301 on a fresh socket.
void SendReconnect();

// Watches the IPv4 addresses (rtnetlink) on a thread of its own: after a
// change it waits 30 s (KELSVC_TEST_WATCH_DELAY_MS in tests) and calls
// onChange, then watches again. The thread ends when StopAddressWatch is
// called or the watch cannot go on.
bool WatchAddressChanges(std::function<void()> onChange);
void StopAddressWatch();
