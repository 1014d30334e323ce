#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "tunnel/TunnelController.h"

namespace halvern {

// The service's one tunnel controller, the mutex that serialises everything done with it, and
// the flag that tells the control server to finish. The service runtime creates the one object
// and hands it to the control server, which hands it to the dispatcher: request → dispatcher →
// controller. A controller still owned at the end is destroyed, which disconnects it.
//
// Lock order: controllerMutex_ first, then the controller's own lock. controllerMutex_ is held
// by the dispatcher for the whole of every command, by the stop handler around its disconnect,
// and by the runtime around creating and destroying the controller. It is never held while the
// server thread is joined, so the join cannot wait on a command that waits on the lock.
class TunnelService {
  public:
    // Runs `command` under controllerMutex_ with the controller, null before the runtime created
    // it and after the stop sequence destroyed it. Returns what `command` returns.
    template <typename Command>
    decltype(auto) withController(Command&& command) {
        const std::lock_guard lock(controllerMutex_);
        return command(controller_.get());
    }

    // Under controllerMutex_: the controller from here on.
    void setController(std::unique_ptr<TunnelController> controller) noexcept;

    // Under controllerMutex_, which waits for a running command, a connect included: takes the
    // tunnel down; a failure is left to the destructor's disconnect.
    void disconnect() noexcept;

    // Under controllerMutex_: disconnects and destroys the controller, whose destructor
    // disconnects once more and releases whatever the session still owns.
    void destroyController() noexcept;

    // Written with sequentially consistent exchanges: cleared once at the start, set by the stop
    // handler and again by the runtime before it joins the server thread.
    bool stopping() const noexcept { return stopping_; }
    void setStopping(bool value) noexcept { stopping_.exchange(value); }

  private:
    CommandMutex controllerMutex_;
    std::unique_ptr<TunnelController> controller_;
    std::atomic<bool> stopping_{false};
};

}  // namespace halvern
