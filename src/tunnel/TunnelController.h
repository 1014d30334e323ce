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
#include "network/NetworkConfigurator.h"
#include "tunnel/LogDeltaReader.h"
#include "tunnel/RestartBudget.h"
#include "tunnel/SessionWatcher.h"

namespace halvern {

class ProxyCoreProcess;
class TunnelBridgeProcess;

// What the session's watcher has done so far, for people: the uplink that the server's host
// route goes through and how often each child was restarted.
struct SessionUpkeep {
    Uplink uplink;
    std::uint32_t coreRestarts = 0;
    std::uint32_t bridgeRestarts = 0;
};

// Receives every announced status word. Called with the controller's lock held: it must only
// record or print, never call back into the controller.
using StatusCallback = std::function<void(const std::string&)>;

// The one owner of the VPN session: its status word, the protocol and last failure, the three
// session objects (proxy core, tunnel bridge, network changes), and the crash journal in which
// they record their children and routes (sessionJournalPath() for the service; tests name a
// place of their own).
//
// Status words: "disconnected", "connecting", "connected", "disconnecting", "error". Only
// "connecting"/"connected"/"error" of a connect, "disconnecting"/"disconnected" of a disconnect
// that tore a session down, and the "error" of a session given up by its watcher are announced;
// creation and an idle disconnect are silent.
class TunnelController {
  public:
    explicit TunnelController(StatusCallback statusCallback,
                              std::filesystem::path journalPath = sessionJournalPath());
    ~TunnelController();
    TunnelController(const TunnelController&) = delete;
    TunnelController& operator=(const TunnelController&) = delete;

    // The service's lock around every command, which the session's watcher takes before the
    // controller's own when it acts (see SessionWatcher.h). Set before the first connect; none
    // when the controller is used alone.
    void setCommandLock(CommandMutex* commandLock) noexcept { commandLock_ = commandLock; }

    // Never throws for a failing step: the outcome is read back through status() and
    // lastError(). Ignored while a session is up. A connected session is watched until it ends:
    // it follows a change of the default route and restarts a child that ended (see
    // SessionUpkeep.cpp); a session given up turns to "error" by itself.
    void connect(const std::string& configJson, const std::string& protocol,
                 const std::vector<std::string>& dnsServers);
    void disconnect();

    std::string status() const;
    std::string activeProtocol() const;
    std::string lastError() const;

    // 0 and 0 without a tunnel or when the adapter cannot be read.
    TrafficStats trafficStats() const;

    // Empty while no session is up.
    SessionUpkeep sessionUpkeep() const;

  private:
    void publishStatus(const std::string& word);
    void launchSession(const std::string& configJson, const std::vector<std::string>& dnsServers);
    void failConnect(const std::string& message) noexcept;

    // The three teardown orders, side by side in TunnelController.cpp with why they differ.
    void tearDownConnectedSession();
    void tearDownFailedConnect() noexcept;
    void releaseWhatDisconnectLeft() noexcept;
    void restoreNetworkQuietly() noexcept;

    // The watcher's side (SessionUpkeep.cpp), under the controller's lock.
    void startWatcher() noexcept;
    void stopWatcher() noexcept;
    void releaseGivenUpSession() noexcept;
    bool keepSession(bool networkMayHaveChanged);
    enum class Child { proxyCore, tunnelBridge };
    bool recoverChild(Child child, std::uint32_t exitCode);
    void followNetwork();
    void giveUp(const std::string& message, const std::string& trace) noexcept;

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
    CommandMutex* commandLock_ = nullptr;
    RestartBudget coreRestarts_;
    RestartBudget bridgeRestarts_;
    std::string lastFollowFailure_;
    // Last, so that it ends first: it acts on everything above.
    std::unique_ptr<SessionWatcher> watcher_;
};

}  // namespace halvern
