#pragma once

#include <string>
#include <vector>

#include "network/CommandRunner.h"

namespace halvern {

using CommandList = std::vector<CommandLine>;

// The system commands behind each step of the tunnel's network setup and restore, but for the
// DNS servers, which each DNS backend sets with commands of its own (DnsChange.h). The order of
// the steps, which of them may fail and when they run at all is decided by NetworkConfigurator for
// both platforms. A step may take several commands (Linux sets the address and then brings the
// link up) or none (Linux has no NetBIOS over TCP/IP to switch off).
class NetworkCommandBuilder {
  public:
    NetworkCommandBuilder() = default;
    virtual ~NetworkCommandBuilder() = default;
    NetworkCommandBuilder(const NetworkCommandBuilder&) = delete;
    NetworkCommandBuilder& operator=(const NetworkCommandBuilder&) = delete;

    // Throws std::runtime_error when the platform cannot take `server` as a DNS server. Runs
    // before any change, so a refused server leaves the system untouched. Windows passes the
    // strings on as they stand.
    virtual void checkDnsServer(const std::string& /*server*/) const {}

    virtual CommandList setAddress(const std::string& adapterName,
                                   const std::string& tunnelAddress) const = 0;
    virtual CommandList disableNetbios(const std::string& adapterName) const = 0;
    virtual CommandList addServerRoute(const std::string& serverAddress,
                                       const std::string& defaultInterface,
                                       const std::string& defaultGateway) const = 0;
    // The tunnel's default path, and on Linux its leak protection. deleteTunnelRoute() undoes
    // addTunnelRoute() command by command in reverse order: its last N commands undo the first
    // N adds, which is how a step that fails part-way takes back what it added.
    virtual CommandList addTunnelRoute(const std::string& adapterName,
                                       const std::string& tunnelAddress) const = 0;
    virtual CommandList deleteTunnelRoute(const std::string& adapterName,
                                          const std::string& tunnelAddress) const = 0;
    virtual CommandList deleteServerRoute(const std::string& serverAddress,
                                          const std::string& defaultInterface,
                                          const std::string& defaultGateway) const = 0;

    // The host route at a new uplink while the old one may still be there. Linux keys a route
    // by prefix and metric, so the new one is appended beside the old instead of added.
    virtual CommandList addFollowedServerRoute(const std::string& serverAddress,
                                               const std::string& defaultInterface,
                                               const std::string& defaultGateway) const {
        return addServerRoute(serverAddress, defaultInterface, defaultGateway);
    }

    // The part of the tunnel-route step that goes with the adapter (the routes through it), and
    // the part that outlives it (Linux's dead ends and IPv6 block; nothing on Windows). A bridge
    // that comes back gets the first again; a session given up keeps the second until stop,
    // which deletes it with deleteLeakGuard().
    virtual CommandList addTunnelPath(const std::string& adapterName,
                                      const std::string& tunnelAddress) const {
        return addTunnelRoute(adapterName, tunnelAddress);
    }
    virtual CommandList deleteTunnelPath(const std::string& adapterName,
                                         const std::string& tunnelAddress) const {
        return deleteTunnelRoute(adapterName, tunnelAddress);
    }
    virtual CommandList deleteLeakGuard() const { return {}; }
};

// Windows: netsh and powershell command lines, one line per command.
const NetworkCommandBuilder& netshCommands();

// Linux: ip argument vectors. DNS servers must be IP addresses.
const NetworkCommandBuilder& ipCommands();

// The builder of the platform we run on.
const NetworkCommandBuilder& platformNetworkCommands();

}  // namespace halvern
