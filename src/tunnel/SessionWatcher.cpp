#include "tunnel/SessionWatcher.h"

#include <chrono>
#include <utility>

#include "common/MonotonicClock.h"

namespace halvern {

SessionWatcher::SessionWatcher(CommandMutex* commandLock,
                               std::function<bool(bool networkMayHaveChanged)> check)
    : commandLock_(commandLock), check_(std::move(check)) {
    thread_ = std::thread([this] { run(); });
}

SessionWatcher::~SessionWatcher() {
    stop();
}

void SessionWatcher::stop() noexcept {
    stopRequested_ = true;
    events_.wake();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

// A burst of changes ends one wait; the tables are read afresh on each pass, so the pass after a
// time-out also catches what an event-less system (Wine) changed.
void SessionWatcher::run() noexcept {
    auto lastLook = MonotonicClock::now();
    while (!stopRequested_) {
        const bool event = events_.wait(kPollMs);
        const bool look =
            event || !events_.subscribed() || elapsedMilliseconds(lastLook) >= kRecheckMs;
        if (look) {
            lastLook = MonotonicClock::now();
        }
        if (stopRequested_ || !runCheckLocked(look)) {
            return;
        }
    }
}

// The command lock is tried in short steps rather than waited for: stop may hold it while it
// ends this thread, and must find it gone instead of blocked.
bool SessionWatcher::runCheckLocked(bool networkMayHaveChanged) noexcept {
    std::unique_lock<CommandMutex> lock;
    if (commandLock_ != nullptr) {
        lock = std::unique_lock<CommandMutex>(*commandLock_, std::defer_lock);
        while (!lock.try_lock_for(std::chrono::milliseconds(kLockRetryMs))) {
            if (stopRequested_) {
                return false;
            }
        }
        if (stopRequested_) {
            return false;
        }
    }
    try {
        return check_(networkMayHaveChanged);
    } catch (...) {
        // A pass that failed as a whole (out of memory) is tried again after the next wait.
        return true;
    }
}

}  // namespace halvern
