#pragma once

#include <memory>

namespace halvern {

// Tells a waiting thread that the system's routes, links or addresses may have changed: the
// rtnetlink route, link and address groups on Linux; NotifyRouteChange2 and
// NotifyIpInterfaceChange on Windows, whose callbacks only set an event. A subscription the
// system refuses (Wine stubs them all) leaves only the time-out of wait(), so a caller that
// polls on each time-out still sees every change, only later.
class NetworkChangeEvents {
  public:
    // Never throws for a refused subscription; see subscribed().
    NetworkChangeEvents();
    ~NetworkChangeEvents();
    NetworkChangeEvents(const NetworkChangeEvents&) = delete;
    NetworkChangeEvents& operator=(const NetworkChangeEvents&) = delete;

    // Waits at most `timeoutMs` for a change or wake(). True when a change (or a wake) came,
    // false on the time-out. What piled up meanwhile is consumed, so one burst of changes ends
    // one wait, not several.
    bool wait(int timeoutMs) noexcept;

    // From any thread: ends the current or the next wait at once.
    void wake() noexcept;

    // Whether the system delivers change events; without them only the time-out ends a wait.
    bool subscribed() const noexcept;

  private:
    struct Handles;  // the platform's descriptors or handles and registrations
    std::unique_ptr<Handles> handles_;
};

}  // namespace halvern
