#include "network/RouteDiscovery.h"

#include "common/SessionNames.h"

namespace halvern {

std::optional<ChosenRoute> chooseDefaultRoute(const std::vector<ForwardRow>& rows,
                                              const AdapterNameMap& names) {
    const ForwardRow* best = nullptr;
    const std::string* bestName = nullptr;
    for (const ForwardRow& row : rows) {
        const auto name = names.find(row.interfaceIndex);
        // Our adapters, including ones left over from an earlier run, are never the system's own
        // way out.
        if (name == names.end() || name->second.starts_with(session::kAdapterPrefix) ||
            row.destination != 0 || row.mask != 0 || row.nextHop == 0) {
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
