#include "tunnel/TunnelController.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "common/DebugOutput.h"
#include "network/NetworkConfigurator.h"
#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"
#include "tunnel/RuntimeFileLocator.h"
#include "tunnel/RuntimeFiles.h"

namespace halvern {
namespace {

constexpr int kSocksReadyTimeoutMs = 10000;
constexpr int kSocksPort = 10807;
constexpr const char* kTunnelAddress = "10.255.0.1";
constexpr const char* kSupportedProtocol = "xray";

}  // namespace

TunnelController::TunnelController(StatusCallback statusCallback, std::filesystem::path journalPath)
    : statusCallback_(std::move(statusCallback)), journal_(std::move(journalPath)) {}

TunnelController::~TunnelController() {
    try {
        disconnect();
    } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
    }
    // After a normal disconnect these are already empty; the order matters when they are not.
    network_.reset();
    tunnelBridge_.reset();
    proxyCore_.reset();
}

void TunnelController::publishStatus(const std::string& word) {
    status_ = word;
    if (statusCallback_) {
        statusCallback_(status_);
    }
}

void TunnelController::connect(const std::string& configJson, const std::string& protocol,
                               const std::vector<std::string>& dnsServers) {
    const std::lock_guard lock(mutex_);
    if (connected_) {
        return;
    }
    lastError_.clear();
    activeProtocol_.clear();
    publishStatus("connecting");
    try {
        if (protocol != kSupportedProtocol) {
            throw std::runtime_error("Windows v1 supports Xray-family configs only");
        }
        startNativeVpn(configJson, dnsServers);
        connected_ = true;
        activeProtocol_ = protocol;
        publishStatus("connected");
    } catch (const std::exception& error) {
        cleanUpFailedConnect(error.what());
    } catch (...) {
        cleanUpFailedConnect("Unknown error");
    }
}

void TunnelController::startNativeVpn(const std::string& configJson,
                                      const std::vector<std::string>& dnsServers) {
    const std::string xrayPath = locateRuntimeFile(proxyCoreFileName());
    proxyCore_ = std::make_unique<ProxyCoreProcess>(xrayPath, &journal_);
    proxyCore_->start(configJson);
    proxyCore_->waitForSocksPort(kSocksReadyTimeoutMs);

    const std::string tun2socksPath = locateRuntimeFile(tunnelBridgeFileName());
    const std::string driverName = driverLibraryFileName();
    const std::string wintunPath =
        driverName.empty() ? std::string{} : locateRuntimeFile(driverName);
    tunnelBridge_ = std::make_unique<TunnelBridgeProcess>(tun2socksPath, wintunPath, &journal_);
    tunnelBridge_->start(kSocksPort);

    const std::string serverAddress = proxyCore_->serverAddress();
    network_ = std::make_unique<NetworkConfigurator>(hostNetworkSystem(), &journal_);
    const std::string adapterName = tunnelBridge_->adapterName();
    network_->apply(adapterName, serverAddress, kTunnelAddress, dnsServers, true);
}

void TunnelController::cleanUpFailedConnect(const std::string& message) noexcept {
    try {
        lastError_ = message;
        writeDebugOutput("Halvern native VPN start failed: " + message + "\n");
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the clean-up must still run
    }
    // Bridge, then core, then network: the reverse of the launch for the children, while the
    // network object only ever holds a completed apply.
    tunnelBridge_.reset();
    proxyCore_.reset();
    endLeftoverChildren();
    if (network_) {
        try {
            network_->restore();
        } catch (...) {  // NOLINT(bugprone-empty-catch): restore tolerates every failure
        }
        network_.reset();
    }
    connected_ = false;
    activeProtocol_.clear();
    try {
        publishStatus("error");
    } catch (...) {  // NOLINT(bugprone-empty-catch): a throwing callback cannot undo the failure
    }
}

void TunnelController::disconnect() {
    const std::lock_guard lock(mutex_);
    if (!connected_) {
        status_ = "disconnected";
        activeProtocol_.clear();
        return;
    }
    publishStatus("disconnecting");
    if (network_) {
        network_->restore();
        network_.reset();
    }
    if (tunnelBridge_) {
        tunnelBridge_->stop();
        tunnelBridge_.reset();
    }
    if (proxyCore_) {
        proxyCore_->stop();
        proxyCore_.reset();
    }
    // What a child started and sent out of its group and session is still the account's.
    endLeftoverChildren();
    connected_ = false;
    activeProtocol_.clear();
    publishStatus("disconnected");
}

std::string TunnelController::status() const {
    const std::lock_guard lock(mutex_);
    return status_;
}

std::string TunnelController::activeProtocol() const {
    const std::lock_guard lock(mutex_);
    return activeProtocol_;
}

std::string TunnelController::lastError() const {
    const std::lock_guard lock(mutex_);
    return lastError_;
}

TrafficStats TunnelController::trafficStats() const {
    const std::lock_guard lock(mutex_);
    return tunnelBridge_ ? tunnelBridge_->trafficStats() : TrafficStats{};
}

LogDelta TunnelController::readLogDelta(const std::string& source, std::int64_t offset,
                                        std::int64_t maxBytes) const {
    return halvern::readLogDelta(source, offset, maxBytes);
}

LogDelta TunnelController::readLogDelta(const std::string& source, std::int64_t offset,
                                        std::int64_t maxBytes, const LogChunkSink& sink) const {
    return streamLogDelta(source, offset, maxBytes, sink);
}

}  // namespace halvern
