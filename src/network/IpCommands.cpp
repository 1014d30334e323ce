#include <stdexcept>

#include "network/NetworkCommands.h"
#include "network/RouteDiscovery.h"

namespace halvern {

namespace {

// The tunnel adapter's network mask, 255.255.255.0, as a prefix length.
constexpr const char* kTunnelPrefixLength = "/24";

// Linux gives a metric-0 default route precedence over a metric-1 one, so the tunnel takes the
// default path with the two halves of the address space instead: they win by prefix length
// whatever the metric of the system's own default route, which stays in place and so is still
// found by route discovery on the next connect.
constexpr const char* kTunnelHalves[] = {"0.0.0.0/1", "128.0.0.0/1"};

// The rejected text as a message can show it: in double quotes, with quotes, backslashes and
// control characters escaped, so that a line feed in it cannot forge a line of the trace output.
std::string quotedForMessage(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            constexpr const char* kHex = "0123456789ABCDEF";
            quoted += "\\x";
            quoted += kHex[byte >> 4U];
            quoted += kHex[byte & 0xFU];
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

class IpCommandBuilder final : public NetworkCommandBuilder {
  public:
    // The servers end up as resolvectl arguments, resolvconf input lines or resolv.conf lines,
    // where a line feed would add a line of the client's choosing and a leading "-" would become
    // an option: only an address as inet_pton reads it is taken.
    void checkDnsServer(const std::string& server) const override {
        if (!isIpAddressText(server)) {
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

    // Where systemd-resolved runs (DnsChange_posix.cpp chooses): the "~." routing domain makes
    // the link's servers the ones it asks for every name, not only for names under a search
    // domain of the link. Both settings belong to the link and vanish with it.
    CommandList setFirstDnsServer(const std::string& adapterName,
                                  const std::string& firstDns) const override {
        return {{"resolvectl", "dns", adapterName, firstDns},
                {"resolvectl", "domain", adapterName, "~."}};
    }

    CommandList disableNetbios(const std::string& /*adapterName*/) const override { return {}; }

    // resolvectl sets a link's whole list at once, so adding the second server means setting
    // both.
    CommandList addSecondDnsServer(const std::string& adapterName, const std::string& firstDns,
                                   const std::string& secondDns) const override {
        return {{"resolvectl", "dns", adapterName, firstDns, secondDns}};
    }

    CommandList addServerRoute(const std::string& serverAddress,
                               const std::string& defaultInterface,
                               const std::string& defaultGateway) const override {
        return {{"ip", "route", "add", serverAddress + "/32", "via", defaultGateway, "dev",
                 defaultInterface, "metric", "1"}};
    }

    CommandList addTunnelRoute(const std::string& adapterName,
                               const std::string& tunnelAddress) const override {
        CommandList commands;
        for (const char* half : kTunnelHalves) {
            commands.push_back({"ip", "route", "add", half, "via", tunnelAddress, "dev",
                                adapterName, "metric", "1"});
        }
        return commands;
    }

    // The deletes name the metric too, so that only the routes we added go, never a route of
    // the same prefix that someone else keeps with another metric.
    CommandList deleteTunnelRoute(const std::string& adapterName,
                                  const std::string& tunnelAddress) const override {
        CommandList commands;
        for (const char* half : kTunnelHalves) {
            commands.push_back({"ip", "route", "del", half, "via", tunnelAddress, "dev",
                                adapterName, "metric", "1"});
        }
        return commands;
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
