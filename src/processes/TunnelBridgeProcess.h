#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/TrafficStats.h"
#include "processes/ChildLaunch.h"

namespace halvern {

// The tunnel bridge child (tun2socks) of one tunnel session: creates the TUN adapter named
// `adapterName()` and forwards its traffic into the proxy core's SOCKS5 port. Destruction stops
// the child; the log stays.
class TunnelBridgeProcess {
  public:
    // With a `journal`, the child is recorded there while it may run.
    TunnelBridgeProcess(std::string exePath, std::string wintunPath,
                        JournalRecorder* journal = nullptr);
    ~TunnelBridgeProcess();
    TunnelBridgeProcess(const TunnelBridgeProcess&) = delete;
    TunnelBridgeProcess& operator=(const TunnelBridgeProcess&) = delete;

    void start(int socksPort);
    void stop() noexcept;

    // The child's exit code once it has ended (reaping it on POSIX); nothing while it runs.
    std::optional<std::uint32_t> exitCodeIfEnded() noexcept;
    // After the child ended: starts it again on the same adapter name and port, its output
    // appended to the same log, and checks it like start().
    void restart();

    // The adapter's byte counters, 0 and 0 when it cannot be found.
    TrafficStats trafficStats() const;

    const std::string& adapterName() const { return adapterName_; }
    // The child's process id while the record holds it, else 0.
    std::uint32_t processId() const noexcept;

  private:
    void launch();
    // Puts the driver library next to the bridge's executable when it is missing there.
    void ensureWintun() const;

    std::string exePath_;
    std::string wintunPath_;
    JournalRecorder* journal_;
    std::string adapterName_;
    int socksPort_ = 0;
    JournalledChild process_;
    ChildLog logFile_;
};

// The adapter name for this service process: the same for every connect, new after a restart.
std::string tunnelAdapterName();

// The command that starts the bridge on adapter `adapterName` towards 127.0.0.1:`socksPort`.
ChildCommand tunnelBridgeCommand(const std::string& exePath, const std::string& adapterName,
                                 int socksPort);

}  // namespace halvern
