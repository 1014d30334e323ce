#pragma once

#include <string>

namespace halvern {

// Starts Winsock 2.2 once per process, on first use, and never again. Throws "WSAStartup failed"
// on every call if that start failed. Nothing to start on POSIX: a no-op that never fails. The
// calls below start it themselves; only a program that makes sockets of its own calls it.
void ensureWinsock();

// The first IPv4 address the system resolver gives for `host`, as dotted text; empty when the
// look-up fails or finds none. Blocks for as long as the resolver takes.
std::string resolveFirstIpv4(const std::string& host);

// One TCP connection attempt to 127.0.0.1:`port` with 500 ms receive and send time-outs; the
// socket is closed whatever happens. True when the connection was accepted.
bool tryConnectLoopback(int port);

}  // namespace halvern
