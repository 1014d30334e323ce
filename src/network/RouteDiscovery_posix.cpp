#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "common/AddressText.h"
#include "common/UniqueFd.h"
#include "network/RouteDiscovery.h"

namespace halvern {

static_assert(AF_INET == kIpv4Family);

namespace {

struct NameIndexRelease {
    void operator()(struct if_nameindex* list) const { if_freenameindex(list); }
};

bool parseWord(const std::string& text, int base, std::uint32_t& word) {
    const std::optional<std::uint64_t> value = wholeNumber(text, 0xFFFFFFFF, base);
    word = static_cast<std::uint32_t>(value.value_or(0));
    return value.has_value();
}

// Up and with a carrier (IFF_RUNNING is the kernel's operational state "up"). Asked on a
// datagram socket, which every kernel answers SIOCGIFFLAGS on.
bool linkIsUp(int socketFd, const std::string& name) {
    ifreq request{};
    if (name.size() >= sizeof request.ifr_name) {
        return false;
    }
    name.copy(request.ifr_name, name.size());
    if (::ioctl(socketFd, SIOCGIFFLAGS, &request) != 0) {
        return false;
    }
    const auto flags = static_cast<unsigned>(request.ifr_flags);
    return (flags & IFF_UP) != 0U && (flags & IFF_RUNNING) != 0U;
}

}  // namespace

AdapterNameMap listUpAdapterNames(int family) {
    AdapterNameMap names = listAdapterNames(family);
    const UniqueFd probe{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    std::erase_if(names, [&](const auto& entry) { return !linkIsUp(probe.get(), entry.second); });
    return names;
}

// Every Linux link can carry IPv4, so the list is the system's links whatever the family; the
// kernel keeps index and name unique, so no index repeats.
AdapterNameMap listAdapterNames(int /*family*/) {
    AdapterNameMap names;
    const std::unique_ptr<struct if_nameindex, NameIndexRelease> list(if_nameindex());
    if (!list) {
        return names;
    }
    for (const struct if_nameindex* entry = list.get(); entry->if_index != 0; ++entry) {
        names.emplace(entry->if_index, entry->if_name != nullptr ? entry->if_name : "");
    }
    return names;
}

// /proc/net/route is the main routing table in the kernel's order, one row per line after a
// header: interface name, then destination, gateway, flags, reference count, use, metric and
// mask. Addresses are the raw network-order words printed in hex, so parsing them as numbers
// gives back the same words that Windows' forwarding table holds. A row whose interface has no
// index any more gets index 0, which names no adapter, and is passed over like an unknown one.
bool readIpv4ForwardTable(std::vector<ForwardRow>& rows) {
    std::ifstream file("/proc/net/route");
    if (!file) {
        return false;
    }
    std::string line;
    if (!std::getline(file, line)) {
        return false;
    }
    rows.clear();
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::string interfaceName;
        std::string destination;
        std::string gateway;
        std::string unused;  // flags, reference count, use
        std::string metric;
        std::string mask;
        if (!(fields >> interfaceName >> destination >> gateway >> unused >> unused >> unused >>
              metric >> mask)) {
            continue;
        }
        ForwardRow row;
        if (!parseWord(destination, 16, row.destination) || !parseWord(gateway, 16, row.nextHop) ||
            !parseWord(mask, 16, row.mask) || !parseWord(metric, 10, row.metric)) {
            continue;
        }
        row.interfaceIndex = if_nametoindex(interfaceName.c_str());
        rows.push_back(row);
    }
    return true;
}

}  // namespace halvern
