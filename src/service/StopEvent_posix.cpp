#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

#include "service/StopEvent.h"

namespace halvern {

// A manual-reset event: once set it stays set, and every waiter returns.
struct StopEvent::Native {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
};

StopEvent::StopEvent() noexcept = default;
StopEvent::~StopEvent() = default;

std::uint32_t StopEvent::create() noexcept {
    native_.reset(new (std::nothrow) Native);
    return native_ ? 0 : ENOMEM;
}

void StopEvent::signal() noexcept {
    Native* event = native_.get();
    if (event == nullptr) {
        return;
    }
    // Notified under the lock: once the waiter can return it may destroy the event, so this
    // thread must not touch it after the unlock.
    const std::lock_guard lock(event->mutex);
    event->signalled = true;
    event->changed.notify_all();
}

void StopEvent::wait() noexcept {
    Native* event = native_.get();
    if (event == nullptr) {
        return;
    }
    std::unique_lock lock(event->mutex);
    event->changed.wait(lock, [event] { return event->signalled; });
}

void StopEvent::close() noexcept {
    native_.reset();
}

}  // namespace halvern
