// The fuzz target's TunnelController: the real class's interface with no session behind it. It
// starts no process and touches no file, adapter or route. What it answers is made of what it
// was asked, so the fuzzer reaches every response with bytes of its own choosing: a failed
// connect reports its configuration as the error, a log read returns the source name as content.
// The fuzzer calls it from one thread only, so it takes no lock.
#include <utility>

#include "network/NetworkConfigurator.h"
#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"
#include "tunnel/TunnelController.h"

namespace halvern {

// The journal is never written: nothing here changes the system.
TunnelController::TunnelController(StatusCallback statusCallback)
    : statusCallback_(std::move(statusCallback)), journal_(std::filesystem::path()) {}

TunnelController::~TunnelController() = default;

void TunnelController::connect(const std::string& configJson, const std::string& protocol,
                               const std::vector<std::string>& dnsServers) {
    connected_ = configJson.size() % 2 == 0;
    status_ = connected_ ? "connected" : "error";
    activeProtocol_ = protocol;
    lastError_ = connected_ ? "" : configJson;
    for (const std::string& server : dnsServers) {
        lastError_ += server;
    }
}

void TunnelController::disconnect() {
    connected_ = false;
    status_ = "disconnected";
}

std::string TunnelController::status() const {
    return status_;
}

std::string TunnelController::activeProtocol() const {
    return activeProtocol_;
}

std::string TunnelController::lastError() const {
    return lastError_;
}

TrafficStats TunnelController::trafficStats() const {
    // Counters beyond the signed range, as a long-running adapter could report them.
    return {lastError_.size(), ~std::uint64_t{0} - lastError_.size()};
}

LogDelta TunnelController::readLogDelta(const std::string& source, std::int64_t offset,
                                        std::int64_t maxBytes) const {
    return {source, offset, maxBytes};
}

}  // namespace halvern
