#include "common/AddressText.h"
#include "common/DebugOutput.h"
#include "common/ProgramSearch.h"
#include "common/SessionNames.h"
#include "network/DnsBackends.h"

namespace halvern {

namespace {

// The adapter names that the service makes: the prefix, "_" and the process id (1 to 7 digits).
bool isOurAdapterName(const std::string& name) {
    const std::string prefix = std::string(session::kAdapterPrefix) + "_";
    return name.starts_with(prefix) && name.size() <= prefix.size() + 7 &&
           wholeNumber(std::string_view(name).substr(prefix.size()), UINT64_MAX).has_value();
}

std::unique_ptr<OutlivingDnsChange> outlivingDnsChange(DnsBackend backend,
                                                       const std::string& adapterName) {
    return backend == DnsBackend::resolvconf ? resolvconfDnsChange(adapterName)
                                             : resolvConfFileDnsChange();
}

}  // namespace

bool OutlivingDnsChange::restore() noexcept {
    if (!changed_) {
        return true;
    }
    changed_ = false;
    try {
        return undo();
    } catch (...) {  // only memory can run out here
        return false;
    }
}

void OutlivingDnsChange::setFirstServer(const std::string& firstDns) {
    changed_ = true;
    put("nameserver " + firstDns + "\n");
}

void OutlivingDnsChange::addSecondServer(const std::string& firstDns,
                                         const std::string& secondDns) {
    changed_ = true;
    put("nameserver " + firstDns + "\nnameserver " + secondDns + "\n");
}

void dnsLogLine(const std::string& text) {
    writeDebugOutput("HalvernService DNS: " + text + "\n");
}

std::unique_ptr<DnsChange> platformDnsChange(NetworkSystem& system,
                                             const std::string& adapterName) {
    std::unique_ptr<DnsChange> change = resolvedDnsChange(system, adapterName);
    if (!change) {
        change = outlivingDnsChange(
            findProgram("resolvconf") ? DnsBackend::resolvconf : DnsBackend::resolvConfFile,
            adapterName);
    }
    dnsLogLine(change->describe());
    return change;
}

// resolved: the link's settings went with the link.
bool undoRecordedDnsChange(DnsBackend backend, const std::string& adapterName) noexcept {
    try {
        return isOurAdapterName(adapterName) && (backend == DnsBackend::resolved ||
                                                 outlivingDnsChange(backend, adapterName)->undo());
    } catch (...) {  // only memory can run out here
        return false;
    }
}

}  // namespace halvern
