#include "network/DnsChange.h"

#include <utility>

#include "network/NetworkSystem.h"

namespace halvern {

namespace {

class AdapterDnsChange final : public DnsChange {
  public:
    AdapterDnsChange(NetworkSystem& system, std::string adapterName)
        : system_(system), adapterName_(std::move(adapterName)) {}

    void setFirstServer(const std::string& firstDns) override {
        run(system_.commands().setFirstDnsServer(adapterName_, firstDns));
    }
    void addSecondServer(const std::string& firstDns, const std::string& secondDns) override {
        run(system_.commands().addSecondDnsServer(adapterName_, firstDns, secondDns));
    }
    void restore() noexcept override {}

  private:
    void run(const CommandList& commands) {
        for (const CommandLine& command : commands) {
            system_.runCommand(command, false);
        }
    }

    NetworkSystem& system_;
    std::string adapterName_;
};

}  // namespace

const char* dnsBackendName(DnsBackend backend) {
    switch (backend) {
        case DnsBackend::resolved:
            return "resolved";
        case DnsBackend::resolvconf:
            return "resolvconf";
        case DnsBackend::resolvConfFile:
            return "file";
    }
    return "";
}

std::optional<DnsBackend> dnsBackendNamed(std::string_view name) {
    for (const DnsBackend backend :
         {DnsBackend::resolved, DnsBackend::resolvconf, DnsBackend::resolvConfFile}) {
        if (name == dnsBackendName(backend)) {
            return backend;
        }
    }
    return std::nullopt;
}

std::unique_ptr<DnsChange> adapterDnsChange(NetworkSystem& system, const std::string& adapterName) {
    return std::make_unique<AdapterDnsChange>(system, adapterName);
}

}  // namespace halvern
