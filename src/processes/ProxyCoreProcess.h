#pragma once

#include <string>

namespace halvern {

// The proxy core child (xray) of one tunnel session: writes the client's configuration to the
// temporary directory, starts the core on it and waits for its SOCKS5 port 127.0.0.1:10807.
// Destruction stops the child and deletes the configuration file; the log stays.
class ProxyCoreProcess {
  public:
    explicit ProxyCoreProcess(std::string exePath);
    ~ProxyCoreProcess();
    ProxyCoreProcess(const ProxyCoreProcess&) = delete;
    ProxyCoreProcess& operator=(const ProxyCoreProcess&) = delete;

    void start(const std::string& configJson);
    void waitForSocksPort(int timeoutMs);
    void stop() noexcept;

    // IPv4 text of the proxy server found in the configuration, or empty.
    const std::string& serverAddress() const { return serverAddress_; }

  private:
    std::string exePath_;
    std::string configPath_;
    std::string serverAddress_;
};

}  // namespace halvern
