#pragma once

#include <string>

#include "common/TrafficStats.h"

namespace halvern {

// The tunnel bridge child (tun2socks) of one tunnel session: creates the TUN adapter named
// `adapterName()` and forwards its traffic into the proxy core's SOCKS5 port. Destruction stops
// the child; the log stays.
class TunnelBridgeProcess {
  public:
    TunnelBridgeProcess(std::string exePath, std::string wintunPath);
    ~TunnelBridgeProcess();
    TunnelBridgeProcess(const TunnelBridgeProcess&) = delete;
    TunnelBridgeProcess& operator=(const TunnelBridgeProcess&) = delete;

    void start(int socksPort);
    void stop() noexcept;

    // The adapter's byte counters, 0 and 0 when it cannot be found.
    TrafficStats trafficStats() const;

    const std::string& adapterName() const { return adapterName_; }

  private:
    std::string exePath_;
    std::string wintunPath_;
    std::string adapterName_;
};

}  // namespace halvern
