#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <utility>

#include "common/AddressText.h"
#include "common/DebugOutput.h"
#include "common/ProgramSearch.h"
#include "common/SessionNames.h"
#include "network/CommandRunner_posix.h"
#include "network/DnsChange.h"
#include "network/ResolvConfFile.h"

// The Linux DNS backends. Linux has no one way to give a link its resolvers: systemd-resolved
// takes them per link and drops them with it; elsewhere /etc/resolv.conf is the system's single
// list, either managed by a resolvconf program or by nobody. One is chosen per connect.
namespace halvern {

namespace {

// systemd-resolved's varlink socket: present exactly while the daemon runs.
constexpr const char* kResolvedSocket = "/run/systemd/resolve/io.systemd.Resolve";
// Debian's resolvconf orders its records by the patterns of this file, and a name that matches
// none of them comes last, behind the LAN's servers. Like wg-quick, the record is named under
// the first plain "PREFIX*" pattern (Debian's default lists "tun*" early), so that the tunnel's
// servers come first. openresolv has no such file and takes -m 0 -x instead.
constexpr const char* kInterfaceOrder = "/etc/resolvconf/interface-order";

void logLine(const std::string& text) {
    writeDebugOutput("HalvernService DNS: " + text + "\n");
}

bool resolvedRuns() {
    struct stat info {};
    return ::stat(kResolvedSocket, &info) == 0 && S_ISSOCK(info.st_mode);
}

std::string resolvconfRecord(const std::string& adapterName) {
    std::ifstream order(kInterfaceOrder);
    static const std::regex pattern("([A-Za-z0-9-]+)\\*");
    std::smatch match;
    for (std::string line; std::getline(order, line);) {
        if (std::regex_match(line, match, pattern)) {
            return match[1].str() + "." + adapterName;
        }
    }
    return adapterName;
}

std::string nameserverLines(const std::string& firstDns, const std::string& secondDns) {
    std::string lines = "nameserver " + firstDns + "\n";
    if (!secondDns.empty()) {
        lines += "nameserver " + secondDns + "\n";
    }
    return lines;
}

// Puts back what a change through `backend` did, for a resolvconf record named `record`; false
// when that could not be done.
bool undoChange(DnsBackend backend, const std::string& record) {
    if (backend == DnsBackend::resolvconf) {
        // -f: a record that is already gone is no error for openresolv (Debian's ignores it).
        return runCommand({"resolvconf", "-d", record, "-f"}, FailurePolicy::tolerate, {}) ==
               CommandOutcome::succeeded;
    }
    if (backend == DnsBackend::resolvConfFile) {
        const ResolvConfRestore outcome = restoreResolvConf();
        if (outcome == ResolvConfRestore::replaced) {
            logLine(
                "/etc/resolv.conf was replaced by someone else while the tunnel was up; "
                "it stays");
        } else if (outcome == ResolvConfRestore::failed) {
            logLine("could not put /etc/resolv.conf back; the original stays in " +
                    resolvConfBackupPath());
            return false;
        }
    }
    return true;
}

// The servers where they outlive the adapter: a record of their own on the resolvconf program's
// standard input, which -m 0 puts first and -x makes the only one used (openresolv), as wg-quick
// does; or /etc/resolv.conf itself.
class SystemDnsChange final : public DnsChange {
  public:
    SystemDnsChange(DnsBackend backend, std::string record)
        : backend_(backend), record_(std::move(record)) {}
    ~SystemDnsChange() override { restore(); }

    void setFirstServer(const std::string& firstDns) override { put(firstDns, {}); }
    void addSecondServer(const std::string& firstDns, const std::string& secondDns) override {
        put(firstDns, secondDns);
    }
    bool restore() noexcept override {
        if (changed_) {
            changed_ = false;
            try {
                return undoChange(backend_, record_);
            } catch (...) {  // only memory can run out here
                return false;
            }
        }
        return true;
    }
    std::optional<DnsBackend> outlivesAdapter() const override { return backend_; }

  private:
    void put(const std::string& firstDns, const std::string& secondDns) {
        changed_ = true;
        if (backend_ == DnsBackend::resolvconf) {
            runCommand({"resolvconf", "-a", record_, "-m", "0", "-x"},
                       FailurePolicy::throwOnFailure, nameserverLines(firstDns, secondDns));
        } else {
            writeResolvConf(
                "# Written by Halvern Service while its tunnel is up; the previous file comes "
                "back\n# when the tunnel goes down.\n" +
                nameserverLines(firstDns, secondDns));
        }
    }

    DnsBackend backend_;
    std::string record_;
    bool changed_ = false;
};

// The adapter names that the service makes: the prefix, "_" and the process id (1 to 7 digits).
bool isOurAdapterName(const std::string& name) {
    const std::string prefix = std::string(session::kAdapterPrefix) + "_";
    return name.starts_with(prefix) && name.size() <= prefix.size() + 7 &&
           wholeNumber(std::string_view(name).substr(prefix.size()), UINT64_MAX).has_value();
}

}  // namespace

std::unique_ptr<DnsChange> platformDnsChange(NetworkSystem& system,
                                             const std::string& adapterName) {
    if (resolvedRuns() && findProgram("resolvectl")) {
        logLine("systemd-resolved, through resolvectl on " + adapterName);
        return adapterDnsChange(system, adapterName);
    }
    if (findProgram("resolvconf")) {
        const std::string record = resolvconfRecord(adapterName);
        logLine("resolvconf, record " + record);
        return std::make_unique<SystemDnsChange>(DnsBackend::resolvconf, record);
    }
    logLine("/etc/resolv.conf, written directly");
    return std::make_unique<SystemDnsChange>(DnsBackend::resolvConfFile, "");
}

bool undoRecordedDnsChange(DnsBackend backend, const std::string& adapterName) noexcept {
    try {
        // resolved: the link's settings went with the link.
        return isOurAdapterName(adapterName) && undoChange(backend, resolvconfRecord(adapterName));
    } catch (...) {  // only memory can run out here
        return false;
    }
}

}  // namespace halvern
