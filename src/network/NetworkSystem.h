#pragma once

#include <memory>
#include <string>
#include <vector>

#include "network/CommandRunner.h"
#include "network/DnsChange.h"
#include "network/NetworkCommands.h"
#include "network/RouteDiscovery.h"

namespace halvern {

// Everything NetworkConfigurator takes from the system: the forwarding table, the adapter
// names, the platform's commands, the runner and the DNS change. The service always uses
// hostNetworkSystem(); another implementation lets the setup and restore sequences be followed step
// by step.
class NetworkSystem {
  public:
    NetworkSystem() = default;
    virtual ~NetworkSystem() = default;
    NetworkSystem(const NetworkSystem&) = delete;
    NetworkSystem& operator=(const NetworkSystem&) = delete;

    virtual bool readIpv4ForwardTable(std::vector<ForwardRow>& rows) = 0;
    virtual AdapterNameMap listAdapterNames(int family) = 0;
    virtual AdapterNameMap listUpAdapterNames(int family) { return listAdapterNames(family); }
    virtual const NetworkCommandBuilder& commands() = 0;
    virtual CommandOutcome runCommand(const CommandLine& commandLine, FailurePolicy policy) = 0;

    // Every command, also after a tolerated failure. Whether each one ran to its end: a delete
    // that fails there found its row already gone (with its device, say), while one that never
    // ran may have left it in place.
    bool runAll(const CommandList& commands, FailurePolicy policy) {
        bool ran = true;
        for (const CommandLine& command : commands) {
            ran = runCommand(command, policy) != CommandOutcome::notRun && ran;
        }
        return ran;
    }

    // The DNS change of one connect; by default netsh's through runCommand(). The host system
    // asks the platform (platformDnsChange).
    virtual std::unique_ptr<DnsChange> dnsChange(const std::string& adapterName) {
        return netshDnsChange(*this, adapterName);
    }
};

// The running system: the free functions of the route discovery and the command runner, and
// the platform's own command builder. Stateless, shared by every configurator.
NetworkSystem& hostNetworkSystem();

}  // namespace halvern
