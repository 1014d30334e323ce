#include <fstream>

#include "network/CommandRunner_posix.h"
#include "network/DnsBackends.h"

namespace halvern {

namespace {

// Debian's resolvconf orders its records by the patterns of this file, and a name that matches
// none of them comes last, behind the LAN's servers. Like wg-quick, the record is named under
// the first plain "PREFIX*" pattern (Debian's default lists "tun*" early), so that the tunnel's
// servers come first. openresolv has no such file and takes -m 0 -x instead.
constexpr const char* kInterfaceOrder = "/etc/resolvconf/interface-order";

constexpr const char* kPrefixBytes =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-";

std::string recordName(const std::string& adapterName) {
    std::ifstream order(kInterfaceOrder);
    for (std::string line; std::getline(order, line);) {
        if (line.size() >= 2 && line.find_first_not_of(kPrefixBytes) == line.size() - 1 &&
            line.ends_with('*')) {
            return line.substr(0, line.size() - 1) + "." + adapterName;
        }
    }
    return adapterName;
}

// The servers in a record of their own on the program's standard input, which -m 0 puts first
// and -x makes the only one used (openresolv), as wg-quick does.
class ResolvconfChange final : public OutlivingDnsChange {
  public:
    explicit ResolvconfChange(const std::string& adapterName) : record_(recordName(adapterName)) {}
    ~ResolvconfChange() override { restore(); }

    std::optional<DnsBackend> outlivesAdapter() const override { return DnsBackend::resolvconf; }
    std::string describe() const override { return "resolvconf, record " + record_; }

    // -f: a record that is already gone is no error for openresolv (Debian's ignores it).
    bool undo() const override {
        return runCommand({"resolvconf", "-d", record_, "-f"}, FailurePolicy::tolerate, {}) ==
               CommandOutcome::succeeded;
    }

  protected:
    void put(const std::string& lines) override {
        runCommand({"resolvconf", "-a", record_, "-m", "0", "-x"}, FailurePolicy::throwOnFailure,
                   lines);
    }

  private:
    std::string record_;
};

}  // namespace

std::unique_ptr<OutlivingDnsChange> resolvconfDnsChange(const std::string& adapterName) {
    return std::make_unique<ResolvconfChange>(adapterName);
}

}  // namespace halvern
