#pragma once

#include <cstdint>
#include <memory>

namespace halvern {

// The service's stop event: manual reset, created non-signalled, unnamed. The stop handler
// signals it from one thread while the service thread waits on it in another.
//
// create() and close() run on the service thread; the handler signals only while the service
// runs, between the two, and the service thread closes only once its wait has returned, which
// orders the close after the signal.
class StopEvent {
  public:
    StopEvent() noexcept;
    ~StopEvent();
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;
    StopEvent(StopEvent&&) = delete;
    StopEvent& operator=(StopEvent&&) = delete;

    // 0, or the system's error code when the event cannot be made (nothing is created then).
    std::uint32_t create() noexcept;

    // Does nothing when the event does not exist.
    void signal() noexcept;

    // Waits without a time-out; returns at once when the event does not exist.
    void wait() noexcept;

    // Releases the native object and leaves the event non-existent.
    void close() noexcept;

  private:
    // An event handle's owner on Windows, a small waitable flag on POSIX; null before create()
    // and after close().
    struct Native;
    std::unique_ptr<Native> native_;
};

}  // namespace halvern
