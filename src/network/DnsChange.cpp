#include "network/DnsChange.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "network/NetworkSystem.h"

namespace halvern {

namespace {

// By DnsBackend, in its order.
constexpr const char* kBackendNames[] = {"resolved", "resolvconf", "file"};

class AdapterDnsChange final : public DnsChange {
  public:
    AdapterDnsChange(NetworkSystem& system, std::string adapterName)
        : system_(system), adapterName_(std::move(adapterName)) {}

    void setFirstServer(const std::string& firstDns) override {
        system_.runAll(system_.commands().setFirstDnsServer(adapterName_, firstDns),
                       FailurePolicy::throwOnFailure);
    }
    void addSecondServer(const std::string& firstDns, const std::string& secondDns) override {
        system_.runAll(system_.commands().addSecondDnsServer(adapterName_, firstDns, secondDns),
                       FailurePolicy::throwOnFailure);
    }
    bool restore() noexcept override { return true; }

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

std::unique_ptr<DnsChange> adapterDnsChange(NetworkSystem& system, const std::string& adapterName) {
    return std::make_unique<AdapterDnsChange>(system, adapterName);
}

}  // namespace halvern
