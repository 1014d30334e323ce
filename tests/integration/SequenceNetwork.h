#pragma once

#include <memory>
#include <string>

// The network side of a full connect. Linux: a namespace with a dual-stack uplink, a TUN device
// named as the adapter, a scratch /etc, no resolvconf on PATH. Wine: our netsh and powershell.
namespace halvern::testing {

// Linux: what a shell command writes to its stdout.
std::string commandOutput(const std::string& command);

class SequenceNetwork {
  public:
    explicit SequenceNetwork(const std::string& adapterName);
    ~SequenceNetwork();
    SequenceNetwork(const SequenceNetwork&) = delete;
    SequenceNetwork& operator=(const SequenceNetwork&) = delete;

    // Empty when usable, else why the test has to be skipped.
    const std::string& unavailable() const { return unavailable_; }

    // The adapter goes, as when the bridge ends, and a later apply fails (Windows: netsh does).
    void bridgeEnded();
    // Linux: runs `command` (ip, as root) in the namespace; whether it succeeded. Windows: false.
    bool change(const std::string& command) const;
    // Windows: the netsh and powershell stand-ins' record, a line per command run. Linux: empty.
    std::string commandRecord() const;
    // Linux: the routing tables, and /etc/resolv.conf (content, mode) as the service sees them.
    std::string routingTable() const;
    std::string resolverConfiguration() const;

  private:
    std::string adapterName_;
    std::string unavailable_;
    std::string namespace_;                  // Linux
    std::string record_;                     // Windows: the stand-ins' record
    std::shared_ptr<void> resolverSandbox_;  // Linux: the ResolverSandbox, which keeps PATH
    int originalNamespace_ = -1;
};

}  // namespace halvern::testing
