#include "tunnel/TunnelController.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "common/DebugOutput.h"
#include "common/SessionNames.h"
#include "network/NetworkConfigurator.h"
#include "processes/ChildLaunch.h"
#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"
#include "tunnel/BundledFiles.h"
#include "tunnel/SessionRecovery.h"

namespace halvern {
namespace {

constexpr int kSocksReadyTimeoutMs = 10000;
constexpr const char* kSupportedProtocol = "xray";

}  // namespace

TunnelController::TunnelController(StatusCallback statusCallback, std::filesystem::path journalPath)
    : statusCallback_(std::move(statusCallback)), journal_(std::move(journalPath)) {}

TunnelController::~TunnelController() {
    stopWatcher();
    try {
        disconnect();
    } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
    }
    releaseWhatDisconnectLeft();
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
    releaseGivenUpSession();
    lastError_.clear();
    activeProtocol_.clear();
    coreRestarts_ = RestartBudget{};
    bridgeRestarts_ = RestartBudget{};
    lastFollowFailure_.clear();
    publishStatus("connecting");
    try {
        if (protocol != kSupportedProtocol) {
            throw std::runtime_error("Windows v1 supports Xray-family configs only");
        }
        launchSession(configJson, dnsServers);
        connected_ = true;
        activeProtocol_ = protocol;
        publishStatus("connected");
        startWatcher();
    } catch (const std::exception& error) {
        failConnect(error.what());
    } catch (...) {
        failConnect("Unknown error");
    }
}

// The launch steps of connect, in order; the first that fails throws, leaving what it made in
// its field for failConnect. Each session object records into the journal before its change.
void TunnelController::launchSession(const std::string& configJson,
                                     const std::vector<std::string>& dnsServers) {
    JournalRecorder* const journal = &journal_;
    proxyCore_ =
        std::make_unique<ProxyCoreProcess>(locateBundledFile(executableFileName("xray")), journal);
    proxyCore_->start(configJson);
    proxyCore_->waitForSocksPort(kSocksReadyTimeoutMs);

    const std::string bridgePath = locateBundledFile(executableFileName("tun2socks"));
    const std::string driverName = driverLibraryFileName();
    const std::string driverPath =
        driverName.empty() ? std::string{} : locateBundledFile(driverName);
    tunnelBridge_ = std::make_unique<TunnelBridgeProcess>(bridgePath, driverPath, journal);
    tunnelBridge_->start(session::kSocksPort);

    network_ = std::make_unique<NetworkConfigurator>(hostNetworkSystem(), journal);
    network_->apply(tunnelBridge_->adapterName(), proxyCore_->serverAddress(),
                    std::string(session::kTunnelAddress), dnsServers,
                    NetworkConfigurator::AdapterAddress::set);
}

void TunnelController::failConnect(const std::string& message) noexcept {
    try {
        lastError_ = message;
        writeDebugOutput("Halvern native VPN start failed: " + message + "\n");
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the clean-up must still run
    }
    tearDownFailedConnect();
    connected_ = false;
    activeProtocol_.clear();
    try {
        publishStatus("error");
    } catch (...) {  // NOLINT(bugprone-empty-catch): a throwing callback cannot undo the failure
    }
}

// The watcher ends before the lock is taken: it may be waiting for it, and it must not act on a
// session that is going away.
void TunnelController::disconnect() {
    stopWatcher();
    const std::lock_guard lock(mutex_);
    if (!connected_) {
        releaseGivenUpSession();
        status_ = "disconnected";
        activeProtocol_.clear();
        return;
    }
    publishStatus("disconnecting");
    tearDownConnectedSession();
    connected_ = false;
    activeProtocol_.clear();
    publishStatus("disconnected");
}

// The three ways a session ends, each in its own order on purpose; do not make them one.
//   - Disconnect: the network first, while both children run: its routes and DNS change name the
//     bridge's adapter, which goes with the bridge, and traffic falls back to the old route at
//     once rather than into a dead tunnel. Then the bridge, then the core it forwards into.
//     Nothing is caught: restore tolerates its commands' failures, and stop never fails.
//   - Failed connect: the children first, the reverse of their launch, so nothing of the
//     half-made session runs on; the network last, a throwing restore ignored: a failed apply
//     has taken back its own changes, and restore only undoes a completed one.
//   - Destructor: a disconnect, then whatever a throwing one left, in the disconnect's order.
// The first two also end what a child sent out of its group and session, after the children;
// a disconnect then retries the network undos that could not be done before.

// Disconnect: network, bridge, core.
void TunnelController::tearDownConnectedSession() {
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
    endLeftoverChildren();
    // What the network's restore could not undo while a child still ran (one that filled the
    // task budget leaves no room to start `ip`) is tried again now that none does.
    retryNetworkUndos(journal_, hostNetworkSystem(), [](const std::string& line) {
        writeDebugOutput("HalvernService recovery: " + line + "\n");
    });
}

// Failed connect: bridge, core, network.
void TunnelController::tearDownFailedConnect() noexcept {
    tunnelBridge_.reset();
    proxyCore_.reset();
    endLeftoverChildren();
    restoreNetworkQuietly();
}

// For the two paths that end with the children already gone: a failed connect, and a session
// given up. restore() tolerates its commands' failures; only memory can make it throw.
void TunnelController::restoreNetworkQuietly() noexcept {
    if (network_) {
        try {
            network_->restore();
        } catch (...) {  // NOLINT(bugprone-empty-catch): restore tolerates every failure
        }
        network_.reset();
    }
}

// Destructor, after its disconnect: network, bridge, core (empty after a normal disconnect).
void TunnelController::releaseWhatDisconnectLeft() noexcept {
    network_.reset();
    tunnelBridge_.reset();
    proxyCore_.reset();
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

}  // namespace halvern
