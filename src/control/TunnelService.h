#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "tunnel/TunnelController.h"

// Process-wide state shared by the service runtime, the control endpoint and the dispatcher.
// Lock order: controllerMutex first, then the controller's own lock.
namespace halvern {

// Held by the dispatcher for the whole of every command, by the stop path around its
// disconnect, and by the service around creating and destroying the controller.
extern std::mutex controllerMutex;

// The one controller; empty before the service starts it and after the stop sequence.
extern std::unique_ptr<TunnelController> controller;

// Set when a stop has been requested; the control endpoint's loop ends when it sees it.
extern std::atomic<bool> stopping;

}  // namespace halvern
