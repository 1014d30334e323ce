// The fuzz target's TunnelController: no session behind it, nothing started or changed. Its
// answers are made of what it was asked (a failed connect's error is its configuration, a log
// read's content the source name), so the fuzzer reaches every response with bytes of its own.
#include <utility>

#include "network/NetworkConfigurator.h"
#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"
#include "tunnel/TunnelController.h"

namespace halvern {

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
