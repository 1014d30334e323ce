#include "service/ServiceRuntime.h"

#include <functional>
#include <memory>
#include <system_error>

#include "common/DebugOutput.h"
#include "control/ControlServer.h"
#include "journal/JournalStore.h"
#include "network/NetworkSystem.h"
#include "tunnel/SessionRecovery.h"

namespace halvern {
namespace {

// The controller's StatusCallback. Captures nothing, so it is safe to call with the controller's
// lock held.
void writeStatusLine(const std::string& word) {
    writeDebugOutput("HalvernService status: " + word + "\n");
}

}  // namespace

std::uint32_t ServiceRuntime::run() {
    reporter_.report(ServicePhase::startPending, 0);
    std::uint32_t exitCode = stopEvent_.create();
    if (exitCode == 0) {
        exitCode = serve();
        stopEvent_.close();
    }
    reporter_.report(ServicePhase::stopped, exitCode);
    return exitCode;
}

std::uint32_t ServiceRuntime::serve() {
    service_.setStopping(false);
    // What an instance that died left behind is undone before anyone can ask for a tunnel. Each
    // item undone is reported to the service manager as progress of the start as well.
    replaySessionJournal(sessionJournalPath(), hostNetworkSystem(),
                         [this](const std::string& line) {
                             writeDebugOutput("HalvernService recovery: " + line + "\n");
                             reporter_.report(ServicePhase::startPending, 0);
                         });
    service_.setController(std::make_unique<TunnelController>(writeStatusLine));

    try {
        serverThread_ = std::thread(runControlServer, std::ref(service_));
    } catch (const std::system_error& error) {
        // Without the server thread nobody could reach the service: give up cleanly rather than
        // report "running" for a service that cannot serve.
        service_.destroyController();
        return threadStartFailureCode(error.code().value());
    }

    reporter_.report(ServicePhase::running, 0);
    stopEvent_.wait();

    // The handler has already woken the server thread once; this second wake-up covers a server
    // thread that was between two connections then, and finds nobody listening otherwise.
    service_.setStopping(true);
    wakeControlEndpoint();
    // The controller's lock is not held here: the server thread may still be finishing a command.
    if (serverThread_.joinable()) {
        serverThread_.join();
    }
    service_.destroyController();
    return 0;
}

void ServiceRuntime::stop() noexcept {
    reporter_.report(ServicePhase::stopPending, 0);
    service_.setStopping(true);
    service_.disconnect();
    stopEvent_.signal();
    // Once signalled, the service thread may end the run and this object with it: nothing below
    // touches a member.
    wakeControlEndpoint();
}

}  // namespace halvern
