#include "common/MonotonicClock.h"

#include <thread>

namespace halvern {

void sleepMilliseconds(std::int64_t milliseconds) {
    const auto deadline = MonotonicClock::now() + std::chrono::milliseconds(milliseconds);
    for (auto now = MonotonicClock::now(); now < deadline; now = MonotonicClock::now()) {
        // Round the rest up to whole milliseconds so that we never sleep for less than remains.
        std::this_thread::sleep_for(std::chrono::ceil<std::chrono::milliseconds>(deadline - now));
    }
}

std::int64_t elapsedMilliseconds(MonotonicClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(MonotonicClock::now() - start)
        .count();
}

}  // namespace halvern
