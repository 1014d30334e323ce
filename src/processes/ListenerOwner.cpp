#include "processes/ListenerOwner.h"

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
    for (const std::uint32_t owner : *owners) {
        if (owner != *own) {
            std::string message = where;
            message += " is held by ";
            message += listenerOwnerKind();
            message += " " + std::to_string(owner) + ", not by " + exeName;
            throw std::runtime_error(message);
        }
    }
}

}  // namespace halvern
