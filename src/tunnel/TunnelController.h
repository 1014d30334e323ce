#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/TrafficStats.h"
#include "journal/JournalStore.h"
#include "journal/SessionJournal.h"
#include "tunnel/LogDeltaReader.h"

namespace halvern {

class ProxyCoreProcess;
class TunnelBridgeProcess;
class NetworkConfigurator;

// Receives every announced status word. Called with the controller's lock held: it must only
// record or print, never call back into the controller.
using StatusCallback = std::function<void(const std::string&)>;

// The one owner of the VPN session: its status word, the protocol and last failure, the three
// session objects (proxy core, tunnel bridge, network changes), and the crash journal in which
// they record their children and routes (sessionJournalPath() for the service; tests name a
// place of their own).
//
// Status words: "disconnected", "connecting", "connected", "disconnecting", "error". Only
// "connecting"/"connected"/"error" of a connect and "disconnecting"/"disconnected" of a
// disconnect that tore a session down are announced; creation and an idle disconnect are silent.
class TunnelController {
  public:
    explicit TunnelController(StatusCallback statusCallback,
                              std::filesystem::path journalPath = sessionJournalPath());
    ~TunnelController();
    TunnelController(const TunnelController&) = delete;
    TunnelController& operator=(const TunnelController&) = delete;

    // Never throws for a failing step: the outcome is read back through status() and
    // lastError(). Ignored while a session is up.
    void connect(const std::string& configJson, const std::string& protocol,
                 const std::vector<std::string>& dnsServers);
    void disconnect();

    std::string status() const;
    std::string activeProtocol() const;
    std::string lastError() const;

    // 0 and 0 without a tunnel or when the adapter cannot be read.
    TrafficStats trafficStats() const;

  private:
    void publishStatus(const std::string& word);
    void launchSession(const std::string& configJson, const std::vector<std::string>& dnsServers);
    void failConnect(const std::string& message) noexcept;

    // The three teardown orders, side by side in TunnelController.cpp with why they differ.
    void tearDownConnectedSession();
    void tearDownFailedConnect() noexcept;
    void releaseWhatDisconnectLeft() noexcept;

    StatusCallback statusCallback_;
    mutable std::mutex mutex_;
    bool connected_ = false;
    std::string status_ = "disconnected";
    std::string activeProtocol_;
    std::string lastError_;
    // Declared before the session objects, which record into it (as a JournalRecorder) to the end.
    SessionJournal journal_;
    std::unique_ptr<ProxyCoreProcess> proxyCore_;
    std::unique_ptr<TunnelBridgeProcess> tunnelBridge_;
    std::unique_ptr<NetworkConfigurator> network_;
};

}  // namespace halvern
