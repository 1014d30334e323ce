#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/JournalRecorder.h"
#include "network/NetworkSystem.h"

namespace halvern {

// The way to the proxy server outside the tunnel: the default route's gateway and interface.
struct Uplink {
    std::string gateway;
    std::string interfaceName;
    bool operator==(const Uplink&) const = default;
};

// What followDefaultRoute() did: the host route now leads through `to`. `from` equals `to` when
// a vanished host route was put back at the same place.
struct UplinkMove {
    Uplink from;
    Uplink to;
};

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
    // `address` says whether the adapter's address is set here or left as it is.
    enum class AdapterAddress { set, leave };
    void apply(const std::string& adapterName, const std::string& serverAddress,
               const std::string& tunnelAddress, const std::vector<std::string>& dnsServers,
               AdapterAddress address);

    // Deletes the routes of a completed apply(), then undoes its DNS change where that
    // outlives the adapter, tolerating any failure, and clears the object. Does nothing when
    // nothing is applied.
    void restore();

    // After a change of network: re-runs the default-route discovery without our adapters and
    // without adapters that are down, and when the uplink moved or the server's host route
    // vanished from the table, journals and adds the host route at the new uplink, then deletes
    // the old one. With no usable default route, or nothing applied, it changes nothing. Throws
    // std::runtime_error when the new route cannot be added; the old one then stays the current.
    std::optional<UplinkMove> followDefaultRoute();

    // After the bridge came back with a new adapter of the same name: the adapter's address, DNS
    // servers and NetBIOS setting, then the routes through it (not the host route, which never
    // left). Throws std::runtime_error like apply().
    void reapplyAdapter();

    // The session is given up: the routes through the adapter and the host route go, tolerating
    // failure; what outlives the adapter to keep traffic from leaving beside the tunnel (Linux's
    // dead ends) and the DNS change stay until restore().
    void retreat() noexcept;

    // The uplink of the host route while one is applied, else empty.
    Uplink uplink() const { return {defaultGateway_, defaultInterface_}; }

    // Fills defaultGateway and defaultInterface from the system's own IPv4 default route; false,
    // with both left as they were, when there is none.
    bool findDefaultRoute();

    bool applied() const { return applied_; }
    const std::string& defaultGateway() const { return defaultGateway_; }
    const std::string& defaultInterface() const { return defaultInterface_; }

  private:
    void addTunnelRoute(const NetworkCommandBuilder& commands);
    void setDnsServers();
    void deleteServerRoute() noexcept;
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
    std::string firstDns_;
    std::string secondDns_;
    bool applied_ = false;
    bool retreated_ = false;
    bool serverRouteActive_ = false;
    bool serverRouteSeen_ = false;  // in the table since it was last added
    std::unique_ptr<DnsChange> dns_;
};

}  // namespace halvern
