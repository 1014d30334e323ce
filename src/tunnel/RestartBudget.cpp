#include "tunnel/RestartBudget.h"

#include <chrono>

namespace halvern {

bool RestartBudget::allowRestart(MonotonicClock::time_point now) {
    const auto window = std::chrono::milliseconds(kWindowMs);
    while (!restarts_.empty() && now - restarts_.front() >= window) {
        restarts_.pop_front();
    }
    if (restarts_.size() >= kMaxRestarts) {
        return false;
    }
    restarts_.push_back(now);
    ++total_;
    return true;
}

}  // namespace halvern
