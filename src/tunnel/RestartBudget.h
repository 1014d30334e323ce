#pragma once

#include <cstdint>
#include <deque>

#include "common/MonotonicClock.h"

namespace halvern {

// How often one child of one session may be restarted: kMaxRestarts times in any kWindowMs. A
// child that keeps crashing is a broken configuration or a hostile one, and a tunnel that flaps
// forever is worse than one that reports its error.
class RestartBudget {
  public:
    static constexpr std::size_t kMaxRestarts = 3;
    static constexpr std::int64_t kWindowMs = 60000;

    // Counts an unexpected exit at `now`. True when a restart is still within the budget (and
    // then counts it); false from the exit that would be the fourth restart within the window.
    bool allowRestart(MonotonicClock::time_point now);

    // Restarts granted over the whole session.
    std::uint32_t total() const noexcept { return total_; }

  private:
    std::deque<MonotonicClock::time_point> restarts_;
    std::uint32_t total_ = 0;
};

}  // namespace halvern
