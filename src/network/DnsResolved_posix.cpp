#include <sys/stat.h>

#include "common/ProgramSearch.h"
#include "network/DnsBackends.h"
#include "network/NetworkSystem.h"

namespace halvern {

namespace {

// systemd-resolved's varlink socket: present exactly while the daemon runs.
constexpr const char* kResolvedSocket = "/run/systemd/resolve/io.systemd.Resolve";

// The link's own servers through resolvectl, run like the other network commands. The "~."
// routing domain makes them the ones the daemon asks for every name, not only for names under a
// search domain of the link. Both settings belong to the link and vanish with it, so restore()
// has nothing to do.
class ResolvedChange final : public DnsChange {
  public:
    ResolvedChange(NetworkSystem& system, std::string adapterName)
        : system_(system), adapterName_(std::move(adapterName)) {}

    void setFirstServer(const std::string& firstDns) override {
        system_.runAll({{"resolvectl", "dns", adapterName_, firstDns},
                        {"resolvectl", "domain", adapterName_, "~."}},
                       FailurePolicy::throwOnFailure);
    }
    // resolvectl sets a link's whole list at once, so adding the second server means setting
    // both.
    void addSecondServer(const std::string& firstDns, const std::string& secondDns) override {
        system_.runAll({{"resolvectl", "dns", adapterName_, firstDns, secondDns}},
                       FailurePolicy::throwOnFailure);
    }
    bool restore() noexcept override { return true; }
    std::string describe() const override {
        return "systemd-resolved, through resolvectl on " + adapterName_;
    }

  private:
    NetworkSystem& system_;
    std::string adapterName_;
};

}  // namespace

std::unique_ptr<DnsChange> resolvedDnsChange(NetworkSystem& system,
                                             const std::string& adapterName) {
    struct stat info {};
    if (::stat(kResolvedSocket, &info) != 0 || !S_ISSOCK(info.st_mode) ||
        !findProgram("resolvectl")) {
        return nullptr;
    }
    return std::make_unique<ResolvedChange>(system, adapterName);
}

}  // namespace halvern
