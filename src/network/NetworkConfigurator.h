#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/JournalRecorder.h"
#include "network/NetworkSystem.h"

namespace halvern {

// The tunnel's changes to the system's network: the adapter's address and DNS servers, a host
// route that keeps the proxy server on the old path, and the default route through the tunnel.
// Destruction restores what a completed apply() added.
class NetworkConfigurator {
  public:
    // With a `journal`, each route, and a DNS change that outlives the adapter, is recorded there
    // before it is made and dropped once restore() has undone it. A route that a failed apply()
    // left in place stays recorded, so that the next start of the service removes it, and so
    // does every change whose undo could not be launched or failed.
    explicit NetworkConfigurator(NetworkSystem& system = hostNetworkSystem(),
                                 JournalRecorder* journal = nullptr);
    ~NetworkConfigurator();
    NetworkConfigurator(const NetworkConfigurator&) = delete;
    NetworkConfigurator& operator=(const NetworkConfigurator&) = delete;

    // Runs the setup commands in their fixed order. Throws std::runtime_error when the default
    // route cannot be found, the platform refuses a DNS server (before any change), or a step
    // that must succeed fails; what earlier steps did stays in effect, except a DNS change that
    // would outlive the adapter, and applied() stays false, so restore() removes nothing. The
    // tunnel-route step itself is all or nothing.
    void apply(const std::string& adapterName, const std::string& serverAddress,
               const std::string& tunnelAddress, const std::vector<std::string>& dnsServers,
               bool setAddress);

    // Deletes the routes of a completed apply(), then undoes its DNS change where that
    // outlives the adapter, tolerating any failure, and clears the object. Does nothing when
    // nothing is applied.
    void restore();

    // Fills defaultGateway and defaultInterface from the system's own IPv4 default route; false,
    // with both left as they were, when there is none.
    bool findDefaultRoute();

    bool applied() const { return applied_; }
    const std::string& defaultGateway() const { return defaultGateway_; }
    const std::string& defaultInterface() const { return defaultInterface_; }
    // The DNS change of the current apply(), if any (for a crash record).
    const DnsChange* dnsChange() const { return dns_.get(); }

  private:
    void addTunnelRoute(const NetworkCommandBuilder& commands);
    JournalEntry serverRouteEntry() const;
    JournalEntry tunnelRouteEntry() const;
    std::optional<JournalEntry> dnsEntry() const;
    void record(const std::optional<JournalEntry>& entry);
    void forget(const std::optional<JournalEntry>& entry) noexcept;
    void undoDnsChange() noexcept;

    NetworkSystem* system_;
    JournalRecorder* journal_;
    std::string adapterName_;
    std::string serverAddress_;
    std::string tunnelAddress_;
    std::string defaultGateway_;
    std::string defaultInterface_;
    bool applied_ = false;
    std::unique_ptr<DnsChange> dns_;
};

}  // namespace halvern
