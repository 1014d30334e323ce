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
    const ForwardRow* best = nullptr;
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
        if (best == nullptr || row.metric <= best->metric) {
            best = &row;
            bestName = &name->second;
        }
    }
    if (best == nullptr || bestName->empty()) {
        return std::nullopt;
    }
    return ChosenRoute{best->nextHop, *bestName};
}

}  // namespace halvern
