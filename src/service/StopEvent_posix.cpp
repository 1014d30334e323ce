#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>

#include "service/StopEvent.h"

namespace halvern {
namespace {

// A manual-reset event: once set it stays set, and every waiter returns.
struct ManualResetEvent {
    std::mutex mutex;
    std::condition_variable changed;
    bool signalled = false;
};

ManualResetEvent* eventFrom(void* native) {
    return static_cast<ManualResetEvent*>(native);
}

}  // namespace

StopEvent::~StopEvent() {
    close();
}

std::uint32_t StopEvent::create() noexcept {
    auto* event = new (std::nothrow) ManualResetEvent;
    if (event == nullptr) {
        return ENOMEM;
    }
    native_.store(event);
    return 0;
}

void StopEvent::signal() noexcept {
    ManualResetEvent* event = eventFrom(native_.load());
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
    ManualResetEvent* event = eventFrom(native_.load());
    if (event == nullptr) {
        return;
    }
    std::unique_lock lock(event->mutex);
    event->changed.wait(lock, [event] { return event->signalled; });
}

void StopEvent::close() noexcept {
    delete eventFrom(native_.exchange(nullptr));
}

}  // namespace halvern
