#include "network/NetworkConfigurator.h"

#include <stdexcept>

namespace halvern {

namespace {

constexpr const char* kDefaultTunnelAddress = "10.255.0.1";
constexpr const char* kDefaultFirstDns = "1.1.1.1";
constexpr const char* kDefaultSecondDns = "8.8.8.8";

class HostNetworkSystem final : public NetworkSystem {
  public:
    bool readIpv4ForwardTable(std::vector<ForwardRow>& rows) override {
        return halvern::readIpv4ForwardTable(rows);
    }
    AdapterNameMap listAdapterNames(int family) override {
        return halvern::listAdapterNames(family);
    }
    const NetworkCommandBuilder& commands() override { return platformNetworkCommands(); }
    void runCommand(const CommandLine& commandLine, bool allowFailure) override {
        halvern::runCommand(commandLine, allowFailure);
    }
};

}  // namespace

NetworkSystem& hostNetworkSystem() {
    static HostNetworkSystem system;
    return system;
}

NetworkConfigurator::NetworkConfigurator() : system_(&hostNetworkSystem()), journal_(nullptr) {}

NetworkConfigurator::NetworkConfigurator(NetworkSystem& system, SessionJournal* journal)
    : system_(&system), journal_(journal) {}

NetworkConfigurator::~NetworkConfigurator() {
    try {
        restore();
    } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
    }
}

bool NetworkConfigurator::findDefaultRoute() {
    std::vector<ForwardRow> rows;
    if (!system_->readIpv4ForwardTable(rows)) {
        return false;
    }
    const AdapterNameMap names = system_->listAdapterNames(kIpv4Family);
    const std::optional<ChosenRoute> route = chooseDefaultRoute(rows, names);
    if (!route) {
        return false;
    }
    std::string gateway;
    if (!formatIpv4Address(route->nextHop, gateway)) {
        return false;
    }
    defaultGateway_ = std::move(gateway);
    defaultInterface_ = route->interfaceName;
    return true;
}

void NetworkConfigurator::runAll(const CommandList& commands, bool allowFailure) {
    for (const CommandLine& command : commands) {
        system_->runCommand(command, allowFailure);
    }
}

JournalEntry NetworkConfigurator::serverRouteEntry() const {
    return {JournalKind::serverRoute, {serverAddress_, defaultInterface_, defaultGateway_}};
}

JournalEntry NetworkConfigurator::tunnelRouteEntry() const {
    return {JournalKind::tunnelRoute, {adapterName_, tunnelAddress_}};
}

// The host route for the server goes in before the tunnel takes the default path, so the
// tunnel's own traffic never loops into itself. A failure stops here without undoing anything:
// applied_ stays false, and restore() leaves alone what did get in.
void NetworkConfigurator::apply(const std::string& adapterName, const std::string& serverAddress,
                                const std::string& tunnelAddress,
                                const std::vector<std::string>& dnsServers, bool setAddress) {
    adapterName_ = adapterName;
    serverAddress_ = serverAddress;
    tunnelAddress_ = tunnelAddress.empty() ? std::string(kDefaultTunnelAddress) : tunnelAddress;

    if (!findDefaultRoute()) {
        throw std::runtime_error("Could not determine the default route");
    }

    // The client's entries are used as they stand; a third and later ones are not used.
    const std::string firstDns = dnsServers.empty() ? kDefaultFirstDns : dnsServers[0];
    const std::string secondDns = dnsServers.size() >= 2 ? dnsServers[1] : kDefaultSecondDns;

    const NetworkCommandBuilder& commands = system_->commands();
    if (setAddress) {
        runAll(commands.setAddress(adapterName_, tunnelAddress_), false);
    }
    runAll(commands.setFirstDnsServer(adapterName_, firstDns), false);
    // NetBIOS is a nicety: a system without the cmdlets, or a slow one, still gets its tunnel.
    runAll(commands.disableNetbios(adapterName_), true);
    if (!secondDns.empty() && secondDns != firstDns) {
        runAll(commands.addSecondDnsServer(adapterName_, firstDns, secondDns), false);
    }
    if (!serverAddress_.empty()) {
        if (journal_ != nullptr) {
            journal_->add(serverRouteEntry());
        }
        runAll(commands.addServerRoute(serverAddress_, defaultInterface_, defaultGateway_), false);
    }
    if (journal_ != nullptr) {
        journal_->add(tunnelRouteEntry());
    }
    runAll(commands.addTunnelRoute(adapterName_, tunnelAddress_), false);
    applied_ = true;
}

// Works only from what apply() stored, never from the system's tables. The address and DNS
// settings stay: they live on the tunnel adapter, which goes away with its bridge.
void NetworkConfigurator::restore() {
    if (!applied_) {
        return;
    }
    const NetworkCommandBuilder& commands = system_->commands();
    runAll(commands.deleteTunnelRoute(adapterName_, tunnelAddress_), true);
    if (journal_ != nullptr) {
        journal_->remove(tunnelRouteEntry());
    }
    if (!serverAddress_.empty() && !defaultInterface_.empty() && !defaultGateway_.empty()) {
        runAll(commands.deleteServerRoute(serverAddress_, defaultInterface_, defaultGateway_),
               true);
        if (journal_ != nullptr) {
            journal_->remove(serverRouteEntry());
        }
    }
    applied_ = false;
    adapterName_.clear();
    serverAddress_.clear();
    tunnelAddress_.clear();
    defaultGateway_.clear();
    defaultInterface_.clear();
}

}  // namespace halvern
