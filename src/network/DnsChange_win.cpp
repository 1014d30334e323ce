#include "network/DnsChange.h"

namespace halvern {

// netsh sets the servers on the adapter, and they go with it.
std::unique_ptr<DnsChange> platformDnsChange(NetworkSystem& system,
                                             const std::string& adapterName) {
    return netshDnsChange(system, adapterName);
}

bool undoRecordedDnsChange(DnsBackend /*backend*/, const std::string& /*adapterName*/) noexcept {
    return true;
}

}  // namespace halvern
