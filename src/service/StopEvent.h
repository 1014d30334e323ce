#pragma once

#include <atomic>
#include <cstdint>

namespace halvern {

// The service's stop event: manual reset, created non-signalled, unnamed. The stop handler
// signals it from one thread while the service thread waits on it in another.
//
// The native object is an event handle on Windows and a small waitable flag on POSIX; null means
// "none", as before creation and after close. It is atomic because the handler reads it from
// its own thread.
class StopEvent {
  public:
    StopEvent() = default;
    ~StopEvent();
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;

    // 0, or the system's error code when the event cannot be made (nothing is created then).
    std::uint32_t create() noexcept;

    bool exists() const noexcept { return native_.load() != nullptr; }

    // Does nothing when the event does not exist.
    void signal() noexcept;

    // Waits without a time-out; returns at once when the event does not exist.
    void wait() noexcept;

    // Releases the native object and leaves the event non-existent.
    void close() noexcept;

  private:
    std::atomic<void*> native_{nullptr};
};

}  // namespace halvern
