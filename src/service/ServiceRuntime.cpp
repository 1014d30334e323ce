#include "service/ServiceRuntime.h"

#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/DebugOutput.h"
#include "control/ControlPipeServer.h"
#include "control/ServiceState.h"
#include "journal/JournalStore.h"
#include "network/NetworkSystem.h"
#include "service/StopEvent.h"
#include "tunnel/SessionRecovery.h"

namespace halvern {
namespace {

StopEvent stopEvent;
std::thread pipeThread;

// Disconnects and destroys the controller under controllerMutex; the destructor disconnects
// once more and releases whatever the session still owns.
void destroyController() noexcept {
    const std::lock_guard lock(controllerMutex);
    if (controller) {
        try {
            controller->disconnect();
        } catch (...) {  // NOLINT(bugprone-empty-catch): the destructor below tries again
        }
        controller.reset();
    }
}

}  // namespace

void writeStatusLine(const std::string& word) {
    writeDebugOutput("HalvernService status: " + word + "\n");
}

std::uint32_t runService() {
    reportServiceStatus(ServicePhase::startPending, 0);

    const std::uint32_t eventError = stopEvent.create();
    if (eventError != 0) {
        reportServiceStatus(ServicePhase::stopped, eventError);
        return eventError;
    }

    stopping.exchange(false);
    // What an instance that died left behind is undone before anyone can ask for a tunnel. Each
    // item undone is reported to the service manager as progress of the start as well.
    replaySessionJournal(sessionJournalPath(), hostNetworkSystem(), [](const std::string& line) {
        writeDebugOutput("HalvernService recovery: " + line + "\n");
        reportServiceStatus(ServicePhase::startPending, 0);
    });
    {
        const std::lock_guard lock(controllerMutex);
        controller = std::make_unique<TunnelController>(writeStatusLine);
    }

    try {
        pipeThread = std::thread(runControlPipeServer);
    } catch (const std::system_error& error) {
        // Without the pipe thread nobody could reach the service: give up cleanly rather than
        // report "running" for a service that cannot serve.
        const std::uint32_t exitCode = threadStartFailureCode(error.code().value());
        destroyController();
        stopEvent.close();
        reportServiceStatus(ServicePhase::stopped, exitCode);
        return exitCode;
    }

    reportServiceStatus(ServicePhase::running, 0);
    stopEvent.wait();

    // The handler has already woken the pipe thread once; this second wake-up covers a pipe
    // thread that was between two connections then, and finds nobody listening otherwise.
    stopping.exchange(true);
    wakeControlPipe();
    // controllerMutex is not held here: the pipe thread may still be finishing a command.
    if (pipeThread.joinable()) {
        pipeThread.join();
    }

    destroyController();
    stopEvent.close();
    reportServiceStatus(ServicePhase::stopped, 0);
    return 0;
}

void stopService() {
    reportServiceStatus(ServicePhase::stopPending, 0);
    stopping.exchange(true);
    {
        // Waits for a running command, a connect included, then takes its tunnel down.
        const std::lock_guard lock(controllerMutex);
        if (controller) {
            try {
                controller->disconnect();
            } catch (...) {  // NOLINT(bugprone-empty-catch): the service thread tries again
            }
        }
    }
    stopEvent.signal();
    wakeControlPipe();
}

}  // namespace halvern
