#include "network/DnsChange.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "network/NetworkSystem.h"

namespace halvern {

namespace {

// By DnsBackend, in its order.
constexpr const char* kBackendNames[] = {"resolved", "resolvconf", "file"};

class NetshDnsChange final : public DnsChange {
  public:
    NetshDnsChange(NetworkSystem& system, std::string adapterName)
        : system_(system), adapterName_(std::move(adapterName)) {}

    // Replaces the adapter's list with the one server, without registering the adapter in DNS
    // and without netsh probing the server first.
    void setFirstServer(const std::string& firstDns) override {
        system_.runCommand({"netsh interface ipv4 set dnsservers name=\"" + adapterName_ +
                            "\" static address=" + firstDns + " register=none validate=no"},
                           FailurePolicy::throwOnFailure);
    }
    void addSecondServer(const std::string& /*firstDns*/, const std::string& secondDns) override {
        system_.runCommand({"netsh interface ipv4 add dnsservers name=\"" + adapterName_ +
                            "\" address=" + secondDns + " index=2 validate=no"},
                           FailurePolicy::throwOnFailure);
    }
    bool restore() noexcept override { return true; }
    std::string describe() const override { return "netsh on " + adapterName_; }

  private:
    NetworkSystem& system_;
    std::string adapterName_;
};

}  // namespace

const char* dnsBackendName(DnsBackend backend) {
    return kBackendNames[static_cast<int>(backend)];
}

std::optional<DnsBackend> dnsBackendNamed(std::string_view name) {
    const auto found = std::find(std::begin(kBackendNames), std::end(kBackendNames), name);
    if (found == std::end(kBackendNames)) {
        return std::nullopt;
    }
    return static_cast<DnsBackend>(found - std::begin(kBackendNames));
}

std::unique_ptr<DnsChange> netshDnsChange(NetworkSystem& system, const std::string& adapterName) {
    return std::make_unique<NetshDnsChange>(system, adapterName);
}

}  // namespace halvern
