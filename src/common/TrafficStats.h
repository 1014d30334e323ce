#pragma once

#include <cstdint>

namespace halvern {

// The tunnel adapter's own byte counters, passed on as the system counts them.
struct TrafficStats {
    std::uint64_t txBytes = 0;
    std::uint64_t rxBytes = 0;
};

}  // namespace halvern
