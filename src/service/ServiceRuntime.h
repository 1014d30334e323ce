#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "control/TunnelService.h"
#include "service/StopEvent.h"

// The service's life from the start report to the stopped report, shared by the Windows service
// and the Linux daemon so that both start and stop in the same order. The platform files supply
// the process entry, the link to the service manager and the handler thread.
namespace halvern {

// What the service tells its manager, in the order it happens.
enum class ServicePhase { startPending, running, stopPending, stopped };

// The platform's link to its service manager: passes one phase on. `exitCode` is only read with
// `stopped` (0, or the system error code that ended the service).
class ServiceStatusReporter {
  public:
    virtual void report(ServicePhase phase, std::uint32_t exitCode) noexcept = 0;

  protected:
    ~ServiceStatusReporter() = default;
};

// Implemented per platform: the exit code reported when the server thread cannot be started.
std::uint32_t threadStartFailureCode(int errorValue) noexcept;

// One run of the service: the tunnel service it hands to the control server, the stop event,
// and the server thread. The platform's service main function calls run(), its control handler
// stop().
class ServiceRuntime {
  public:
    explicit ServiceRuntime(ServiceStatusReporter& reporter) noexcept : reporter_(reporter) {}

    // On the thread the manager gives it: creates the stop event and the controller, serves on
    // the server thread until a stop, then takes everything down and reports stopped. Returns
    // the exit code it reported.
    std::uint32_t run();

    // The control handler's answer to a stop or shutdown. The tunnel is taken down here, before
    // the service thread is released, so that a system going down never keeps our routes.
    void stop() noexcept;

  private:
    // From the stop event's creation to the controller's destruction; 0 or the exit code.
    std::uint32_t serve();

    ServiceStatusReporter& reporter_;
    TunnelService service_;
    StopEvent stopEvent_;
    std::thread serverThread_;
};

}  // namespace halvern
