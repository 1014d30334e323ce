#include "network/NetworkCommands.h"

namespace halvern {

namespace {

// Names go between double quotes (single quotes in the powershell script) without escaping:
// adapter names that contain a quote are not provided for.
class NetshCommandBuilder final : public NetworkCommandBuilder {
  public:
    CommandList setAddress(const std::string& adapterName,
                           const std::string& tunnelAddress) const override {
        return {{"netsh interface ipv4 set address name=\"" + adapterName +
                 "\" source=static addr=" + tunnelAddress + " mask=255.255.255.0"}};
    }

    // Option 2 of SetTcpipNetbios switches NetBIOS over TCP/IP off; netsh cannot do it.
    CommandList disableNetbios(const std::string& adapterName) const override {
        return {{"powershell -NoProfile -Command \"$i=(Get-NetAdapter -Name '" + adapterName +
                 "').InterfaceIndex;Get-CimInstance Win32_NetworkAdapterConfiguration|"
                 "Where-Object{$_.InterfaceIndex -eq $i}|ForEach-Object{Invoke-CimMethod "
                 "-InputObject $_ -MethodName SetTcpipNetbios -Arguments "
                 "@{TcpipNetbiosOptions=[uint32]2}}\""}};
    }

    CommandList addServerRoute(const std::string& serverAddress,
                               const std::string& defaultInterface,
                               const std::string& defaultGateway) const override {
        return {{"netsh interface ipv4 add route " + serverAddress + "/32 \"" + defaultInterface +
                 "\" " + defaultGateway + " metric=1"}};
    }

    // The adapter's own address is the next hop.
    CommandList addTunnelRoute(const std::string& adapterName,
                               const std::string& tunnelAddress) const override {
        return {{"netsh interface ipv4 add route 0.0.0.0/0 \"" + adapterName + "\" " +
                 tunnelAddress + " metric=1"}};
    }

    CommandList deleteTunnelRoute(const std::string& adapterName,
                                  const std::string& tunnelAddress) const override {
        return {{"netsh interface ipv4 delete route 0.0.0.0/0 \"" + adapterName + "\" " +
                 tunnelAddress}};
    }

    CommandList deleteServerRoute(const std::string& serverAddress,
                                  const std::string& defaultInterface,
                                  const std::string& defaultGateway) const override {
        return {{"netsh interface ipv4 delete route " + serverAddress + "/32 \"" +
                 defaultInterface + "\" " + defaultGateway}};
    }
};

}  // namespace

const NetworkCommandBuilder& netshCommands() {
    static const NetshCommandBuilder builder;
    return builder;
}

}  // namespace halvern
