#include "network/NetworkConfigurator.h"

#include <algorithm>
#include <cstddef>
#include <stdexcept>

#include "common/AddressText.h"
#include "common/SessionNames.h"

namespace halvern {

namespace {

constexpr const char* kDefaultFirstDns = "1.1.1.1";
constexpr const char* kDefaultSecondDns = "8.8.8.8";

}  // namespace

NetworkConfigurator::NetworkConfigurator(NetworkSystem& system, JournalRecorder* journal)
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
    defaultGateway_ = ipv4Text(route->nextHop);
    defaultInterface_ = route->interfaceName;
    return true;
}

JournalEntry NetworkConfigurator::serverRouteEntry() const {
    return {JournalKind::serverRoute, {serverAddress_, defaultInterface_, defaultGateway_}};
}

JournalEntry NetworkConfigurator::tunnelRouteEntry() const {
    return {JournalKind::tunnelRoute, {adapterName_, tunnelAddress_}};
}

// Only a change that outlives the adapter needs a record: settings made on the adapter itself go
// with it, also when the service dies.
std::optional<JournalEntry> NetworkConfigurator::dnsEntry() const {
    const std::optional<DnsBackend> backend = dns_ ? dns_->outlivesAdapter() : std::nullopt;
    if (!backend) {
        return std::nullopt;
    }
    return JournalEntry{JournalKind::dns, {dnsBackendName(*backend), adapterName_}};
}

void NetworkConfigurator::record(const std::optional<JournalEntry>& entry) {
    if (journal_ != nullptr && entry) {
        journal_->record(*entry);
    }
}

void NetworkConfigurator::forget(const std::optional<JournalEntry>& entry) noexcept {
    if (journal_ != nullptr && entry) {
        journal_->forget(*entry);
    }
}

// An undo that could not be done keeps its record, here and below: the session's teardown
// tries it again once nothing of the children runs, and the next start once more.
void NetworkConfigurator::undoDnsChange() noexcept {
    if (dns_) {
        const std::optional<JournalEntry> entry = dnsEntry();
        if (dns_->restore()) {
            forget(entry);
        }
        dns_.reset();
    }
}

// All of the step or none of it: on Linux it is several routes, and a dead end or an IPv6 block
// left behind by a failed connect would cut the machine off. What got in is deleted, tolerating
// failure, and its journal entry goes with them; a route that was there before and made an add
// fail stays untouched, also by the next start.
void NetworkConfigurator::addTunnelRoute(const NetworkCommandBuilder& commands) {
    record(tunnelRouteEntry());
    const CommandList adds = commands.addTunnelRoute(adapterName_, tunnelAddress_);
    std::size_t added = 0;
    try {
        for (; added < adds.size(); ++added) {
            system_->runCommand(adds[added], FailurePolicy::throwOnFailure);
        }
    } catch (...) {
        const CommandList deletes = commands.deleteTunnelRoute(adapterName_, tunnelAddress_);
        const std::size_t undo = std::min(added, deletes.size());
        if (system_->runAll(
                CommandList(deletes.end() - static_cast<std::ptrdiff_t>(undo), deletes.end()),
                FailurePolicy::tolerate)) {
            forget(tunnelRouteEntry());
        }
        throw;
    }
}

// The host route for the server goes in before the tunnel takes the default path, so the
// tunnel's own traffic never loops into itself. A failure stops here, and undoes only the DNS
// change, which may outlive the adapter (Linux without systemd-resolved), and what the failing
// tunnel-route step itself added: applied_ stays false, and restore() leaves alone the host
// route if it did get in.
void NetworkConfigurator::apply(const std::string& adapterName, const std::string& serverAddress,
                                const std::string& tunnelAddress,
                                const std::vector<std::string>& dnsServers,
                                AdapterAddress address) {
    adapterName_ = adapterName;
    serverAddress_ = serverAddress;
    tunnelAddress_ = tunnelAddress.empty() ? std::string(session::kTunnelAddress) : tunnelAddress;

    if (!findDefaultRoute()) {
        throw std::runtime_error("Could not determine the default route");
    }

    // The client's entries are used as they stand where the platform takes any text (Windows);
    // a third and later ones are not used. A second server equal to the first is not added.
    firstDns_ = dnsServers.empty() ? kDefaultFirstDns : dnsServers[0];
    secondDns_ = dnsServers.size() >= 2 ? dnsServers[1] : kDefaultSecondDns;
    if (secondDns_ == firstDns_) {
        secondDns_.clear();
    }

    const NetworkCommandBuilder& commands = system_->commands();
    commands.checkDnsServer(firstDns_);
    if (!secondDns_.empty()) {
        commands.checkDnsServer(secondDns_);
    }
    dns_ = system_->dnsChange(adapterName_);
    try {
        if (address == AdapterAddress::set) {
            system_->runAll(commands.setAddress(adapterName_, tunnelAddress_),
                            FailurePolicy::throwOnFailure);
        }
        record(dnsEntry());
        setDnsServers();
        if (!serverAddress_.empty()) {
            // A failed add takes its record back: what made it fail may be the same route,
            // there before the service, which the next start must not delete.
            record(serverRouteEntry());
            try {
                system_->runAll(
                    commands.addServerRoute(serverAddress_, defaultInterface_, defaultGateway_),
                    FailurePolicy::throwOnFailure);
            } catch (...) {
                forget(serverRouteEntry());
                throw;
            }
            serverRouteActive_ = true;
        }
        addTunnelRoute(commands);
    } catch (...) {
        undoDnsChange();
        throw;
    }
    applied_ = true;
}

// NetBIOS is a nicety: a system without the cmdlets, or a slow one, still gets its tunnel.
void NetworkConfigurator::setDnsServers() {
    dns_->setFirstServer(firstDns_);
    system_->runAll(system_->commands().disableNetbios(adapterName_), FailurePolicy::tolerate);
    if (!secondDns_.empty()) {
        dns_->addSecondServer(firstDns_, secondDns_);
    }
}

void NetworkConfigurator::deleteServerRoute() noexcept {
    if (!serverRouteActive_) {
        return;
    }
    try {
        if (system_->runAll(system_->commands().deleteServerRoute(serverAddress_, defaultInterface_,
                                                                  defaultGateway_),
                            FailurePolicy::tolerate)) {
            forget(serverRouteEntry());
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): the runner tolerates; only memory can fail
    }
    serverRouteActive_ = false;
}

namespace {

// Whether `rows` hold the server's host route through `uplink`, as the host-route step made it.
bool holdsServerRoute(const std::vector<ForwardRow>& rows, const AdapterNameMap& names,
                      const std::string& serverAddress, const Uplink& uplink) {
    return std::any_of(rows.begin(), rows.end(), [&](const ForwardRow& row) {
        const auto name = names.find(row.interfaceIndex);
        return row.mask == 0xFFFFFFFFU && ipv4Text(row.destination) == serverAddress &&
               ipv4Text(row.nextHop) == uplink.gateway && name != names.end() &&
               name->second == uplink.interfaceName;
    });
}

}  // namespace

// Add first, then delete: at no moment is the server left without a way beside the tunnel, and
// the journal names the new route before it exists, so a crash in between undoes both. The old
// route's delete runs even when the table no longer shows it: gone with its link, it fails
// harmlessly. A host route is put back only after it was seen and then vanished, so a system
// that never lists it (a stand-in netsh) is not asked again and again.
std::optional<UplinkMove> NetworkConfigurator::followDefaultRoute() {
    if (!applied_ || retreated_ || serverAddress_.empty()) {
        return std::nullopt;
    }
    std::vector<ForwardRow> rows;
    if (!system_->readIpv4ForwardTable(rows)) {
        return std::nullopt;
    }
    const std::optional<ChosenRoute> best =
        chooseDefaultRoute(rows, system_->listUpAdapterNames(kIpv4Family));
    if (!best) {
        return std::nullopt;
    }
    const Uplink current = uplink();
    const Uplink target{ipv4Text(best->nextHop), best->interfaceName};
    const bool moved = !(target == current);
    const bool present =
        holdsServerRoute(rows, system_->listAdapterNames(kIpv4Family), serverAddress_, current);
    if (!moved && (present || !serverRouteSeen_)) {
        serverRouteSeen_ = serverRouteSeen_ || present;
        return std::nullopt;
    }
    const JournalEntry added{JournalKind::serverRoute,
                             {serverAddress_, target.interfaceName, target.gateway}};
    record(added);
    try {
        system_->runAll(system_->commands().addFollowedServerRoute(
                            serverAddress_, target.interfaceName, target.gateway),
                        FailurePolicy::throwOnFailure);
    } catch (...) {
        if (moved) {
            forget(added);
        }
        throw;
    }
    if (moved) {
        deleteServerRoute();
        defaultGateway_ = target.gateway;
        defaultInterface_ = target.interfaceName;
    }
    serverRouteActive_ = true;
    serverRouteSeen_ = false;
    return UplinkMove{current, target};
}

void NetworkConfigurator::reapplyAdapter() {
    if (!applied_ || retreated_) {
        return;
    }
    const NetworkCommandBuilder& commands = system_->commands();
    system_->runAll(commands.setAddress(adapterName_, tunnelAddress_),
                    FailurePolicy::throwOnFailure);
    // A change beyond the adapter (resolv.conf) is still in place; the adapter's own went with it.
    if (!dns_->outlivesAdapter()) {
        setDnsServers();
    }
    system_->runAll(commands.addTunnelPath(adapterName_, tunnelAddress_),
                    FailurePolicy::throwOnFailure);
}

void NetworkConfigurator::retreat() noexcept {
    if (!applied_ || retreated_) {
        return;
    }
    try {
        system_->runAll(system_->commands().deleteTunnelPath(adapterName_, tunnelAddress_),
                        FailurePolicy::tolerate);
    } catch (...) {  // NOLINT(bugprone-empty-catch): the runner tolerates; only memory can fail
    }
    deleteServerRoute();
    retreated_ = true;
}

// Works only from what apply() stored, never from the system's tables. The address stays: it
// lives on the tunnel adapter, which goes away with its bridge, and so do DNS settings made on
// the adapter; a DNS change beyond it (Linux without systemd-resolved) is undone after the routes.
void NetworkConfigurator::restore() {
    if (!applied_) {
        return;
    }
    const NetworkCommandBuilder& commands = system_->commands();
    if (system_->runAll(retreated_ ? commands.deleteLeakGuard()
                                   : commands.deleteTunnelRoute(adapterName_, tunnelAddress_),
                        FailurePolicy::tolerate)) {
        forget(tunnelRouteEntry());
    }
    deleteServerRoute();
    undoDnsChange();
    applied_ = false;
    retreated_ = false;
    serverRouteSeen_ = false;
    adapterName_.clear();
    serverAddress_.clear();
    tunnelAddress_.clear();
    defaultGateway_.clear();
    defaultInterface_.clear();
}

}  // namespace halvern
