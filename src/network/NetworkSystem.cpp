#include "network/NetworkSystem.h"

namespace halvern {
namespace {

class HostNetworkSystem final : public NetworkSystem {
  public:
    bool readIpv4ForwardTable(std::vector<ForwardRow>& rows) override {
        return halvern::readIpv4ForwardTable(rows);
    }
    AdapterNameMap listAdapterNames(int family) override {
        return halvern::listAdapterNames(family);
    }
    AdapterNameMap listUpAdapterNames(int family) override {
        return halvern::listUpAdapterNames(family);
    }
    const NetworkCommandBuilder& commands() override { return platformNetworkCommands(); }
    CommandOutcome runCommand(const CommandLine& commandLine, FailurePolicy policy) override {
        return halvern::runCommand(commandLine, policy);
    }
    std::unique_ptr<DnsChange> dnsChange(const std::string& adapterName) override {
        return platformDnsChange(*this, adapterName);
    }
};

}  // namespace

NetworkSystem& hostNetworkSystem() {
    static HostNetworkSystem system;
    return system;
}

}  // namespace halvern
