#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "common/AddressText.h"
#include "common/DebugOutput.h"
#include "common/ProgramSearch.h"
#include "common/SessionNames.h"
#include "network/CommandRunner.h"
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

// Found the way the runner finds it (ProgramSearch.h).
bool foundOnPath(const std::string& program) {
    return findProgram(program).has_value();
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

CommandLine deleteRecordCommand(const std::string& record) {
    // -f: a record that is already gone is no error for openresolv (Debian's ignores it).
    return {"resolvconf", "-d", record, "-f"};
}

std::string nameserverLines(const std::string& firstDns, const std::string& secondDns) {
    std::string lines = "nameserver " + firstDns + "\n";
    if (!secondDns.empty()) {
        lines += "nameserver " + secondDns + "\n";
    }
    return lines;
}

// The servers as a record of their own on the resolvconf program's standard input; -m 0 puts it
// first and -x makes it the only one used (openresolv), as wg-quick does.
class ResolvconfChange final : public DnsChange {
  public:
    explicit ResolvconfChange(std::string record) : record_(std::move(record)) {}
    ~ResolvconfChange() override { restore(); }

    void setFirstServer(const std::string& firstDns) override { add(firstDns, {}); }
    void addSecondServer(const std::string& firstDns, const std::string& secondDns) override {
        add(firstDns, secondDns);
    }
    void restore() noexcept override {
        if (changed_) {
            changed_ = false;
            try {
                runCommand(deleteRecordCommand(record_), true, {});
            } catch (...) {  // NOLINT(bugprone-empty-catch): only memory can run out here
            }
        }
    }
    std::optional<DnsBackend> outlivesAdapter() const override { return DnsBackend::resolvconf; }

  private:
    void add(const std::string& firstDns, const std::string& secondDns) {
        changed_ = true;
        runCommand({"resolvconf", "-a", record_, "-m", "0", "-x"}, false,
                   nameserverLines(firstDns, secondDns));
    }

    std::string record_;
    bool changed_ = false;
};

void reportRestore(ResolvConfRestore outcome) {
    if (outcome == ResolvConfRestore::replaced) {
        logLine("/etc/resolv.conf was replaced by someone else while the tunnel was up; it stays");
    } else if (outcome == ResolvConfRestore::failed) {
        logLine("could not put /etc/resolv.conf back; the original stays in " +
                resolvConfBackupPath());
    }
}

class ResolvConfFileChange final : public DnsChange {
  public:
    ~ResolvConfFileChange() override { restore(); }

    void setFirstServer(const std::string& firstDns) override { write(firstDns, {}); }
    void addSecondServer(const std::string& firstDns, const std::string& secondDns) override {
        write(firstDns, secondDns);
    }
    void restore() noexcept override {
        if (changed_) {
            changed_ = false;
            reportRestore(restoreResolvConf());
        }
    }
    std::optional<DnsBackend> outlivesAdapter() const override {
        return DnsBackend::resolvConfFile;
    }

  private:
    void write(const std::string& firstDns, const std::string& secondDns) {
        changed_ = true;
        writeResolvConf(
            "# Written by Halvern Service while its tunnel is up; the previous file comes back\n"
            "# when the tunnel goes down.\n" +
            nameserverLines(firstDns, secondDns));
    }

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
    if (resolvedRuns() && foundOnPath("resolvectl")) {
        logLine("systemd-resolved, through resolvectl on " + adapterName);
        return adapterDnsChange(system, adapterName);
    }
    if (foundOnPath("resolvconf")) {
        const std::string record = resolvconfRecord(adapterName);
        logLine("resolvconf, record " + record);
        return std::make_unique<ResolvconfChange>(record);
    }
    logLine("/etc/resolv.conf, written directly");
    return std::make_unique<ResolvConfFileChange>();
}

void undoRecordedDnsChange(DnsBackend backend, const std::string& adapterName) noexcept {
    try {
        if (!isOurAdapterName(adapterName)) {
            return;
        }
        switch (backend) {
            case DnsBackend::resolved:
                return;  // the link's settings went with the link
            case DnsBackend::resolvconf:
                runCommand(deleteRecordCommand(resolvconfRecord(adapterName)), true, {});
                return;
            case DnsBackend::resolvConfFile:
                reportRestore(restoreResolvConf());
                return;
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): only memory can run out here
    }
}

}  // namespace halvern
