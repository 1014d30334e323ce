#include "processes/TunnelBridgeProcess.h"

#include <stdexcept>
#include <utility>

#include "processes/AdapterCounters.h"

namespace halvern {

TunnelBridgeProcess::TunnelBridgeProcess(std::string exePath, std::string wintunPath)
    : exePath_(std::move(exePath)), wintunPath_(std::move(wintunPath)) {}

TunnelBridgeProcess::~TunnelBridgeProcess() {
    stop();
}

void TunnelBridgeProcess::start(int /*socksPort*/) {
    throw std::runtime_error("Tunnel bridge launch is not available in this build");
}

void TunnelBridgeProcess::stop() noexcept {}

TrafficStats TunnelBridgeProcess::trafficStats() const {
    return adapterTrafficStats(adapterName_);
}

}  // namespace halvern
