#pragma once

#include <chrono>
#include <cstdint>

namespace halvern {

using MonotonicClock = std::chrono::steady_clock;

// Sleeps until at least `milliseconds` have passed on the monotonic clock, sleeping again for
// the rest when woken early.
void sleepMilliseconds(std::int64_t milliseconds);

// Whole milliseconds since `start`, fractions dropped.
std::int64_t elapsedMilliseconds(MonotonicClock::time_point start);

}  // namespace halvern
