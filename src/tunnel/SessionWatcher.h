#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "network/NetworkChangeEvents.h"

namespace halvern {

// The service's lock around every command (TunnelService's controllerMutex). Timed, so that a
// watcher waiting for it can still be told to end: stop holds it while it ends the watcher.
using CommandMutex = std::timed_mutex;

// One thread per connected session that keeps the session true: after each network change, and
// at least every kPollMs, it runs `check`, telling it whether the network may have changed: after
// an event, on every pass where the system sends none (Wine), and every kRecheckMs in any case.
// The passes between cost a look at the children only. It holds no lock while it waits. Before
// `check` it takes the command lock (when there is one) like any command; `check` then takes the
// controller's own lock, so the house order holds. `check` returns false when the session is
// over (it gave up), which ends the thread.
//
// stop() (and the destructor) ends the thread and joins it. The caller may hold the command lock
// then, but not the controller's: a watcher waiting for the command lock sees the stop within
// kLockRetryMs, and one inside `check` finishes it first.
class SessionWatcher {
  public:
    static constexpr int kPollMs = 250;
    static constexpr int kRecheckMs = 2000;
    static constexpr int kLockRetryMs = 20;

    SessionWatcher(CommandMutex* commandLock,
                   std::function<bool(bool networkMayHaveChanged)> check);
    ~SessionWatcher();
    SessionWatcher(const SessionWatcher&) = delete;
    SessionWatcher& operator=(const SessionWatcher&) = delete;

    void stop() noexcept;

  private:
    void run() noexcept;
    bool runCheckLocked(bool networkMayHaveChanged) noexcept;

    CommandMutex* commandLock_;
    std::function<bool(bool)> check_;
    std::atomic<bool> stopRequested_{false};
    NetworkChangeEvents events_;
    std::thread thread_;
};

}  // namespace halvern
