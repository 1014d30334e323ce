#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace halvern {

// Interface index -> the adapter's friendly name (UTF-8), the name that route commands take.
using AdapterNameMap = std::unordered_map<std::uint32_t, std::string>;

// AF_INET, which has this value on every platform we build for.
inline constexpr int kIpv4Family = 2;

// The fields of one IPv4 forwarding table row that route discovery looks at. Addresses are in
// network byte order, as the system stores them.
struct ForwardRow {
    std::uint32_t destination = 0;
    std::uint32_t mask = 0;
    std::uint32_t nextHop = 0;
    std::uint32_t interfaceIndex = 0;
    std::uint32_t metric = 0;
    bool operator==(const ForwardRow&) const = default;
};

struct ChosenRoute {
    std::uint32_t nextHop = 0;
    std::string interfaceName;
};

// The adapters of `family` by index; the first name wins when an index appears twice. Empty
// when the adapters cannot be listed.
AdapterNameMap listAdapterNames(int family);

// The same, without the adapters that are down (administratively, or without a link): a default
// route through one of those leads nowhere.
AdapterNameMap listUpAdapterNames(int family);

// The system's IPv4 forwarding table in the system's own order. False when it cannot be read.
bool readIpv4ForwardTable(std::vector<ForwardRow>& rows);

// The system's own default route: a default row (destination and mask 0) with a gateway, on an
// interface we know by name and that is not one of our tunnel adapters (names beginning with
// "Halvern"), with the lowest metric; among equal metrics the later row wins. Nothing when no
// row qualifies or the winner's interface has an empty name.
std::optional<ChosenRoute> chooseDefaultRoute(const std::vector<ForwardRow>& rows,
                                              const AdapterNameMap& names);

}  // namespace halvern
