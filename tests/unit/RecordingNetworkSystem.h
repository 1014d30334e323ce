#pragma once

#include "network/NetworkSystem.h"

namespace halvern {

using Lines = std::vector<std::string>;

// Records the commands. The default route is 192.0.2.1 on "Ethernet Z": lower metrics are our
// tunnel's, not default, gatewayless or on an unknown adapter; of the two at 25 the later wins.
class RecordingSystem final : public NetworkSystem {
  public:
    bool readIpv4ForwardTable(std::vector<ForwardRow>& table) override {
        table = rows;
        return true;
    }
    AdapterNameMap listAdapterNames(int /*family*/) override { return names; }
    AdapterNameMap listUpAdapterNames(int /*family*/) override {
        AdapterNameMap up = names;
        up.erase(down);
        return up;
    }
    const NetworkCommandBuilder& commands() override { return *builder; }
    CommandOutcome runCommand(const CommandLine& commandLine, FailurePolicy policy) override {
        const std::string line = joinCommandLine(commandLine);
        const bool fails = !failing.empty() && line.find(failing) != std::string::npos;
        if (fails && policy == FailurePolicy::throwOnFailure) {
            throw std::runtime_error("failed: " + line);
        }
        ran.push_back((policy == FailurePolicy::tolerate ? "[tolerated] " : "") + line +
                      (fails ? " [not run]" : ""));
        return fails ? CommandOutcome::notRun : CommandOutcome::succeeded;
    }

    std::vector<ForwardRow> rows = {
        {0, 0, 9, 40, 1}, {5, 0, 9, 12, 1},  {0, 5, 9, 12, 1},  {0, 0, 0, 12, 1},
        {0, 0, 9, 77, 1}, {0, 0, 9, 14, 26}, {0, 0, 9, 13, 25}, {0, 0, 0x010200C0U, 12, 25}};
    AdapterNameMap names = {
        {12, "Ethernet Z"}, {13, "My Halvern"}, {14, "Wi-Fi"}, {40, "Halvern_Tun_802"}};
    std::uint32_t down = 0;  // an adapter that is down
    Lines ran;
    std::string failing;  // a command that holds this text fails
    const NetworkCommandBuilder* builder = &netshCommands();
};

inline const std::string kNetsh = "netsh interface ipv4 ";
inline const std::string kHostRoute =
    kNetsh + "add route 203.0.113.5/32 \"Ethernet Z\" 192.0.2.1 metric=1";
inline const std::string kDeleteHostRoute =
    "[tolerated] " + kNetsh + "delete route 203.0.113.5/32 \"Ethernet Z\" 192.0.2.1";
inline const std::string kDeleteTunnelRoute =
    "[tolerated] " + kNetsh + "delete route 0.0.0.0/0 \"Halvern_Tun_802\" 10.255.0.1";

}  // namespace halvern
