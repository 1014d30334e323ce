#include "network/RouteDiscovery.h"

#include <string_view>

namespace halvern {

namespace {

// Every adapter the tunnel bridge creates is named from this word, including ones left over
// from an earlier run; routes through them are never the system's own way out.
constexpr std::string_view kTunnelAdapterPrefix = "Halvern";

}  // namespace

std::optional<ChosenRoute> chooseDefaultRoute(const std::vector<ForwardRow>& rows,
                                              const AdapterNameMap& names) {
    std::uint32_t bestMetric = 0xFFFFFFFFU;
    std::uint32_t bestNextHop = 0;
    const std::string* bestName = nullptr;
    for (const ForwardRow& row : rows) {
        const auto name = names.find(row.interfaceIndex);
        if (name == names.end()) {
            continue;
        }
        if (name->second.starts_with(kTunnelAdapterPrefix)) {
            continue;
        }
        if (row.destination != 0 || row.mask != 0) {
            continue;
        }
        if (row.nextHop == 0) {
            continue;
        }
        if (row.metric <= bestMetric) {
            bestMetric = row.metric;
            bestNextHop = row.nextHop;
            bestName = &name->second;
        }
    }
    if (bestNextHop == 0 || bestName == nullptr || bestName->empty()) {
        return std::nullopt;
    }
    return ChosenRoute{bestNextHop, *bestName};
}

}  // namespace halvern
