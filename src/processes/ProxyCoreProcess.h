#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "processes/ChildLaunch.h"

namespace halvern {

// The proxy core child (xray) of one tunnel session: writes the client's configuration to the
// temporary directory, starts the core on it and waits for its SOCKS5 port (session::kSocksPort),
// which must then be the core's own (see ListenerOwner.h).
// Destruction stops the child and deletes the configuration file; the log stays. The log and
// the configuration are made anew at each start (see createChildLog and writeConfigFile).
class ProxyCoreProcess {
  public:
    // With a `journal`, the child is recorded there while it may run.
    explicit ProxyCoreProcess(std::string exePath, JournalRecorder* journal = nullptr);
    ~ProxyCoreProcess();
    ProxyCoreProcess(const ProxyCoreProcess&) = delete;
    ProxyCoreProcess& operator=(const ProxyCoreProcess&) = delete;

    void start(const std::string& configJson);
    void waitForSocksPort(int timeoutMs);
    void stop() noexcept;

    // The child's exit code once it has ended (reaping it on POSIX); nothing while it runs.
    std::optional<std::uint32_t> exitCodeIfEnded() noexcept;
    // After the child ended: starts it again on the kept configuration, its output appended to
    // the same log, and waits for its port and checks its owner like start(). Throws like
    // start() and waitForSocksPort().
    void restart(int timeoutMs);

    // IPv4 text of the proxy server found in the last configuration that named one, or empty.
    const std::string& serverAddress() const { return serverAddress_; }
    // The child's process id while the record holds it, else 0.
    std::uint32_t processId() const noexcept;

  private:
    std::string exePath_;
    JournalRecorder* journal_;
    std::string configPath_;
    std::string serverAddress_;
    JournalledChild process_;
    ChildLog logFile_;
    ChildLog configFile_;  // the handle the configuration was written through
};

// The command that starts the proxy core on its configuration file.
ChildCommand proxyCoreCommand(const std::string& exePath, const std::string& configPath);

}  // namespace halvern
