#pragma once

#include <string>
#include <vector>

namespace halvern {

// The tunnel's changes to the system's network: the adapter's address and DNS servers, a host
// route that keeps the proxy server on the old path, and the default route through the tunnel.
// Destruction restores what a completed apply() added.
class NetworkConfigurator {
  public:
    NetworkConfigurator() = default;
    ~NetworkConfigurator();
    NetworkConfigurator(const NetworkConfigurator&) = delete;
    NetworkConfigurator& operator=(const NetworkConfigurator&) = delete;

    void apply(const std::string& adapterName, const std::string& serverAddress,
               const std::string& tunnelAddress, const std::vector<std::string>& dnsServers,
               bool setAddress);
    void restore();

    bool applied() const { return applied_; }

  private:
    bool applied_ = false;
};

}  // namespace halvern
