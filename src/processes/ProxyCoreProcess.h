#pragma once

#include <cstdint>
#include <string>

#include "processes/ProcessLauncher.h"

namespace halvern {

// The proxy core child (xray) of one tunnel session: writes the client's configuration to the
// temporary directory, starts the core on it and waits for its SOCKS5 port 127.0.0.1:10807,
// which must then be the core's own (see ListenerOwner.h).
// Destruction stops the child and deletes the configuration file; the log stays.
class ProxyCoreProcess {
  public:
    static constexpr int kSocksPort = 10807;
    static constexpr const char* kConfigFileName = "halvern_xray_config.json";
    static constexpr const char* kLogFileName = "halvern_xray_output.log";

    // With a `journal`, the child is recorded there while it may run.
    explicit ProxyCoreProcess(std::string exePath, JournalRecorder* journal = nullptr);
    ~ProxyCoreProcess();
    ProxyCoreProcess(const ProxyCoreProcess&) = delete;
    ProxyCoreProcess& operator=(const ProxyCoreProcess&) = delete;

    void start(const std::string& configJson);
    void waitForSocksPort(int timeoutMs);
    void stop() noexcept;

    // Reads the first server host out of the configuration text (no JSON parsing) and stores its
    // IPv4 address, resolving a name; leaves the address as it was when no server is named.
    void extractServerAddress(const std::string& configJson);

    // IPv4 text of the proxy server found in the configuration, or empty.
    const std::string& serverAddress() const { return serverAddress_; }
    // Path of the configuration file while there may be one, else empty.
    const std::string& configPath() const { return configPath_; }
    // The child's process id while the record holds it, else 0.
    std::uint32_t processId() const noexcept;

  private:
    std::string exePath_;
    JournalRecorder* journal_;
    std::string configPath_;
    std::string serverAddress_;
    ChildProcessHandle process_;
    ChildLogHandle logFile_;
};

// The command that starts the proxy core on its configuration file.
ChildCommand proxyCoreCommand(const std::string& exePath, const std::string& configPath);

// The value of the first "address" key at or after the first `key` at or after `from`, or empty.
// `key` includes its double quotes; a `from` of npos gives empty.
std::string findAddressAfter(const std::string& text, const std::string& key,
                             std::string::size_type from);

}  // namespace halvern
