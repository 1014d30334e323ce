#pragma once

#include <memory>
#include <string>

// The network side of a full connect in tests. Linux: a network namespace of its own with a
// dual-stack uplink, a TUN device under the tunnel adapter's name standing in for the bridge's,
// and a scratch /etc (ResolverSandbox) without resolvconf on PATH: the service's `ip` commands
// change real routes there only. Windows under Wine: our netsh.exe and powershell.exe stand-ins
// beside the test executable take the service's command lines.
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

    // The adapter goes, as when the bridge ends: with its routes (Linux), or so that the tunnel
    // route's netsh fails (Windows). A later apply fails.
    void bridgeEnded();
    // Linux: the namespace's IPv4 and IPv6 routing tables, and /etc/resolv.conf as the service
    // sees it, content and mode. Windows: empty.
    std::string routingTable() const;
    std::string resolverConfiguration() const;

  private:
    std::string adapterName_;
    std::string unavailable_;
    std::string namespace_;                  // Linux
    std::shared_ptr<void> resolverSandbox_;  // Linux: the ResolverSandbox
    std::string savedPath_;                  // Linux: PATH before resolvconf was taken off it
    int originalNamespace_ = -1;
};

}  // namespace halvern::testing
