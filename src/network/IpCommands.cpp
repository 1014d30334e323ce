#include <algorithm>
#include <fstream>
#include <stdexcept>

#include "common/AddressText.h"
#include "common/ByteEscape.h"
#include "common/DebugOutput.h"
#include "network/NetworkCommands.h"

namespace halvern {

namespace {

// The tunnel adapter's network mask, 255.255.255.0, as a prefix length.
constexpr const char* kTunnelPrefixLength = "/24";

// Linux gives a metric-0 default route precedence over a metric-1 one, so the tunnel takes the
// default path with the two halves of the address space instead: they win by prefix length
// whatever the metric of the system's own default route, which stays in place and so is still
// found by route discovery on the next connect.
constexpr const char* kTunnelHalves[] = {"0.0.0.0/1", "128.0.0.0/1"};

// Leak protection, which the tunnel's own routes alone do not give on Linux:
// - under each half, a dead end one metric behind it: when the bridge dies, its TUN device
//   takes the halves along, and traffic then meets "unreachable" instead of the old gateway,
//   while the server's /32 host route, more specific, still leads the core to its server;
// - the IPv6 address space, which the tunnel does not carry, as two unreachable halves: the
//   system's IPv6 default route loses to them by prefix length, the LAN's prefix and link-local
//   win over them the same way, and applications get "network unreachable" at once and fall
//   back to IPv4. The metric is the kernel's default for IPv6, named so that the delete names it.
constexpr const char* kDeadEndMetric = "2";
constexpr const char* kIpv6Halves[] = {"::/1", "8000::/1"};
constexpr const char* kIpv6BlockMetric = "1024";

// IPv6 switched off by sysctl leaves all/disable_ipv6 at 1; switched off at boot
// (ipv6.disable=1), the kernel lists no IPv6 addresses at all.
bool ipv6SwitchedOff() {
    std::ifstream disabled("/proc/sys/net/ipv6/conf/all/disable_ipv6");
    char value = '0';
    return !std::ifstream("/proc/net/if_inet6") || (disabled >> value && value == '1');
}

// The rejected text in double quotes, quotes and backslashes escaped, and escapeBytes for the
// rest: a line feed in it cannot forge a line of the trace output.
std::string quotedForMessage(const std::string& text) {
    std::string quoted;
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return "\"" + escapeBytes(quoted, LineFeedsAndTabs::escaped, HexDigits::upperCase) + "\"";
}

// The rows of the tunnel-route step as `ip` commands with `verb`: the halves through the
// adapter, then the leak guard, in the order they go in. The deletes name type, prefix and metric
// like the adds, so that only our rows go, never a route of the same prefix that someone else
// keeps with another metric or type. The kernel's IPv6 delete passes over the type, so those rows
// also name the loopback device, which every unreachable route hangs on: a ::/1 through a real
// device stays.
CommandList tunnelPathRows(const std::string& verb, const std::string& adapterName,
                           const std::string& tunnelAddress) {
    CommandList commands;
    for (const char* half : kTunnelHalves) {
        commands.push_back(
            {"ip", "route", verb, half, "via", tunnelAddress, "dev", adapterName, "metric", "1"});
    }
    return commands;
}

CommandList leakGuardRows(const std::string& verb, bool withIpv6) {
    CommandList commands;
    for (const char* half : kTunnelHalves) {
        commands.push_back({"ip", "route", verb, "unreachable", half, "metric", kDeadEndMetric});
    }
    for (const char* half : kIpv6Halves) {
        if (withIpv6) {
            commands.push_back({"ip", "-6", "route", verb, "unreachable", half, "dev", "lo",
                                "metric", kIpv6BlockMetric});
        }
    }
    return commands;
}

CommandList reversed(CommandList commands) {
    std::reverse(commands.begin(), commands.end());
    return commands;
}

class IpCommandBuilder final : public NetworkCommandBuilder {
  public:
    // The servers end up as resolvectl arguments, resolvconf input lines or resolv.conf lines,
    // where a line feed would add a line of the client's choosing and a leading "-" would become
    // an option: only an address as inet_pton reads it is taken.
    void checkDnsServer(const std::string& server) const override {
        if (!isIpText(server)) {
            throw std::runtime_error("DNS server is not an IP address: " +
                                     quotedForMessage(server));
        }
    }

    // "replace" so that an address left from an earlier run on a reused name is no failure.
    CommandList setAddress(const std::string& adapterName,
                           const std::string& tunnelAddress) const override {
        return {
            {"ip", "address", "replace", tunnelAddress + kTunnelPrefixLength, "dev", adapterName},
            {"ip", "link", "set", "dev", adapterName, "up"}};
    }

    CommandList disableNetbios(const std::string& /*adapterName*/) const override { return {}; }

    CommandList addServerRoute(const std::string& serverAddress,
                               const std::string& defaultInterface,
                               const std::string& defaultGateway) const override {
        return {{"ip", "route", "add", serverAddress + "/32", "via", defaultGateway, "dev",
                 defaultInterface, "metric", "1"}};
    }

    // IPv6 is left out where it is switched off: a machine without it has nothing to protect
    // there, and the kernel would refuse the rows.
    CommandList addTunnelRoute(const std::string& adapterName,
                               const std::string& tunnelAddress) const override {
        const bool ipv6 = !ipv6SwitchedOff();
        if (!ipv6) {
            writeDebugOutput("HalvernService network: IPv6 is switched off; no IPv6 block\n");
        }
        CommandList commands = tunnelPathRows("add", adapterName, tunnelAddress);
        const CommandList guard = leakGuardRows("add", ipv6);
        commands.insert(commands.end(), guard.begin(), guard.end());
        return commands;
    }

    // The undo of addTunnelRoute() command by command, in reverse order (NetworkConfigurator
    // relies on it), and always with the IPv6 rows: IPv6 may have been switched on since, or the
    // journal of a dead instance is replayed on a system that changed. A missing row's delete
    // fails harmlessly. The dead ends go before the halves above them, so that a disconnect
    // never blocks traffic on its way back to the old gateway.
    CommandList deleteTunnelRoute(const std::string& adapterName,
                                  const std::string& tunnelAddress) const override {
        CommandList commands = deleteLeakGuard();
        const CommandList path = deleteTunnelPath(adapterName, tunnelAddress);
        commands.insert(commands.end(), path.begin(), path.end());
        return commands;
    }

    CommandList addTunnelPath(const std::string& adapterName,
                              const std::string& tunnelAddress) const override {
        return tunnelPathRows("add", adapterName, tunnelAddress);
    }
    CommandList deleteTunnelPath(const std::string& adapterName,
                                 const std::string& tunnelAddress) const override {
        return reversed(tunnelPathRows("del", adapterName, tunnelAddress));
    }
    CommandList deleteLeakGuard() const override { return reversed(leakGuardRows("del", true)); }

    CommandList addFollowedServerRoute(const std::string& serverAddress,
                                       const std::string& defaultInterface,
                                       const std::string& defaultGateway) const override {
        return {{"ip", "route", "append", serverAddress + "/32", "via", defaultGateway, "dev",
                 defaultInterface, "metric", "1"}};
    }

    CommandList deleteServerRoute(const std::string& serverAddress,
                                  const std::string& defaultInterface,
                                  const std::string& defaultGateway) const override {
        return {{"ip", "route", "del", serverAddress + "/32", "via", defaultGateway, "dev",
                 defaultInterface, "metric", "1"}};
    }
};

}  // namespace

const NetworkCommandBuilder& ipCommands() {
    static const IpCommandBuilder builder;
    return builder;
}

}  // namespace halvern
