#pragma once

#include <cstdint>
#include <string>

// The service's life from the start report to the stopped report, shared by the Windows service
// and the Linux daemon so that both start and stop in the same order. The platform files supply
// the process entry, the link to the service manager and the handler thread.
namespace halvern {

// What the service tells its manager, in the order it happens.
enum class ServicePhase { startPending, running, stopPending, stopped };

// Implemented per platform: passes one phase to the service manager. `exitCode` is only read
// with `stopped` (0, or the system error code that ended the service).
void reportServiceStatus(ServicePhase phase, std::uint32_t exitCode) noexcept;

// Implemented per platform: the exit code reported when the pipe thread cannot be started.
std::uint32_t threadStartFailureCode(int errorValue) noexcept;

// The controller's StatusCallback: "HalvernService status: " + word + line feed to the debug
// output. Captures nothing, so it is safe to call with the controller's lock held.
void writeStatusLine(const std::string& word);

// The service main function's body, on the thread the manager gives it: creates the stop event
// and the controller, serves on the pipe thread until a stop, then takes everything down and
// reports stopped. Returns the exit code it reported.
std::uint32_t runService();

// The control handler's answer to a stop or shutdown. The tunnel is taken down here, before the
// service thread is released, so that a system going down never keeps our routes.
void stopService();

}  // namespace halvern
