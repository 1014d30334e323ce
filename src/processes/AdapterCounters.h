#pragma once

#include <string>

#include "common/TrafficStats.h"

namespace halvern {

// The system's own byte counters of the network adapter named exactly `adapterName` (same
// length, same letter case), looked up afresh on every call: bytes sent and bytes received.
// Nothing is cached and no baseline is subtracted. 0 and 0 when there is no such adapter or any
// query fails; never throws.
TrafficStats adapterTrafficStats(const std::string& adapterName) noexcept;

}  // namespace halvern
