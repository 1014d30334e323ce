#include "processes/ListenerOwner.h"

#include <algorithm>
#include <stdexcept>

#include "common/SessionNames.h"

namespace halvern {

void requireListenerOf(const JournalledChild& child, int port, const std::string& exeName) {
    const std::string where =
        "SOCKS5 port " + std::to_string(port) + " on " + std::string(session::kSocksHost);
    const std::optional<std::vector<std::uint32_t>> owners = loopbackListenerOwners(port);
    const std::optional<std::uint32_t> own = childListenerOwner(child);
    if (!owners || !own) {
        throw std::runtime_error("Could not tell who holds " + where);
    }
    const auto other =
        std::ranges::find_if(*owners, [&](std::uint32_t owner) { return owner != *own; });
    if (other != owners->end()) {
        throw std::runtime_error(where + " is held by " + listenerOwnerKind() + " " +
                                 std::to_string(*other) + ", not by " + exeName);
    }
}

}  // namespace halvern
