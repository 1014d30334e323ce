#pragma once

#include <memory>
#include <string>
#include <vector>

// The network side of a full connect in tests, per platform.
//
// Linux: the test enters a network namespace of its own with an uplink (a veth pair with an
// IPv4 and an IPv6 default route) and a persistent TUN device under the tunnel adapter's name
// standing in for the one the bridge would create, and a private mount namespace with a scratch
// /etc (ResolverSandbox) whose resolv.conf the service writes itself: no resolvconf is left on
// PATH. The `ip` commands of the service then change real routes, in that namespace only.
//
// Windows under Wine: our netsh.exe and powershell.exe stand-ins beside the test executable
// record every command line; route discovery reads Wine's view of the host's routes.
namespace halvern::testing {

// Linux: what a shell command writes to its stdout (the e2e test uses it too).
std::string commandOutput(const std::string& command);

class SequenceNetwork {
  public:
    explicit SequenceNetwork(const std::string& adapterName);
    ~SequenceNetwork();
    SequenceNetwork(const SequenceNetwork&) = delete;
    SequenceNetwork& operator=(const SequenceNetwork&) = delete;

    // Empty when usable, else why the test has to be skipped.
    const std::string& unavailable() const { return unavailable_; }

    // Makes the next apply fail: on Linux the adapter goes away (as if the bridge made none), so
    // the first `ip` command fails; on Windows the netsh line of the tunnel default route fails.
    void failApply();

    // What the end of the bridge does to its adapter: on Linux the device goes, taking its
    // address and routes with it; nothing on Windows, where the stand-ins change nothing.
    void bridgeEnded();

    // Linux: the namespace's whole IPv4 and IPv6 routing tables, all tables; Windows: empty.
    std::string routingTable() const;

    // Linux: /etc/resolv.conf as the service sees it, content and mode; Windows: empty.
    std::string resolverConfiguration() const;

    // Windows: the netsh and powershell lines run so far, in order; Linux: empty.
    std::vector<std::string> systemToolLines() const;

  private:
    std::string adapterName_;
    std::string unavailable_;
    std::string state_;  // the namespace's name (Linux) or the record file's path (Windows)
    std::shared_ptr<void> resolverSandbox_;  // Linux: the ResolverSandbox, kept as the header's
    std::string savedPath_;                  // only platform-neutral owner
    int originalNamespace_ = -1;
};

}  // namespace halvern::testing
