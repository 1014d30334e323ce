#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

namespace halvern {

using MonotonicClock = std::chrono::steady_clock;

// Sleeps until at least `milliseconds` have passed on the monotonic clock, sleeping again for
// the rest when woken early.
void sleepMilliseconds(std::int64_t milliseconds);

// Whole milliseconds since `start`, fractions dropped.
std::int64_t elapsedMilliseconds(MonotonicClock::time_point start);

// The one bounded wait for a condition that nothing signals: asks `done` until it holds or
// `timeoutMs` have passed, and says whether it held. `done` is asked once more at the deadline,
// so that what comes true during the last pause still counts. The pauses start at 1 ms and
// double up to `intervalMs`: a condition that holds soon is seen soon, one that takes long costs
// few looks.
template <typename Condition>
bool waitUntil(Condition&& done, std::int64_t timeoutMs, std::int64_t intervalMs) {
    const auto start = MonotonicClock::now();
    for (std::int64_t pause = 1;; pause = std::min(pause * 2, intervalMs)) {
        if (done()) {
            return true;
        }
        const std::int64_t left = timeoutMs - elapsedMilliseconds(start);
        if (left <= 0) {
            return false;
        }
        sleepMilliseconds(std::min(pause, left));
    }
}

}  // namespace halvern
