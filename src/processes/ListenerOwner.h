#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "processes/ChildLaunch.h"

// Who holds a listening TCP port. A connection to the SOCKS5 port proves that someone listens
// there, not who: any local account may listen on a loopback port before the core does, and
// the tunnel would then carry the machine's traffic into that account's program. Windows names
// a socket's owner by process id; Linux by uid, and the core's account runs nothing but the
// service's children.
namespace halvern {

// The platform's part (ListenerOwner_win.cpp, ListenerOwner_posix.cpp).

// The owners of every socket listening on TCP `port` that a connection to 127.0.0.1 may reach:
// bound to 127.0.0.1 or to any address, IPv4 or dual-stack IPv6. Nothing when the system's
// table cannot be read. Windows passes over rows that name process 0, which owns no socket
// (Wine's tables name no owner at all).
std::optional<std::vector<std::uint32_t>> loopbackListenerOwners(int port);

// The same kind of owner for a child: its process id, or the uid it runs as. Nothing when it
// cannot be read.
std::optional<std::uint32_t> childListenerOwner(const JournalledChild& child);

// How a message names an owner: "process" or "uid".
const char* listenerOwnerKind() noexcept;

// Throws unless every listener on `port` that 127.0.0.1 reaches belongs to `child`, named
// `exeName` in the message: "SOCKS5 port 10807 on 127.0.0.1 is held by process 4242, not by
// xray.exe" (Linux: "by uid 1000"), or "Could not tell who holds SOCKS5 port 10807 on
// 127.0.0.1" when the system cannot say.
void requireListenerOf(const JournalledChild& child, int port, const std::string& exeName);

}  // namespace halvern
