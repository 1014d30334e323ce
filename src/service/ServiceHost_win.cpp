#include <windows.h>

#include <atomic>
#include <string>

#include "service/ServiceEntry.h"
#include "service/ServiceHandle_win.h"
#include "service/ServiceRuntime.h"

// The Windows service: the SCM's dispatcher runs ServiceMain on a thread of its own and calls the
// control handler on the process's main thread.
namespace halvern {
namespace {

constexpr DWORD kPendingWaitHintMs = 10000;

// The SCM's record of the service and the handle that reports it. Written by the handler thread
// and the service thread without a lock: the stop sequence orders the two writers (the
// handler's report comes before the service thread is released).
class ScmStatus final : public ServiceStatusReporter {
  public:
    void attach(SERVICE_STATUS_HANDLE handle) noexcept { handle_ = handle; }

    void report(ServicePhase phase, std::uint32_t exitCode) noexcept override {
        const bool pending =
            phase == ServicePhase::startPending || phase == ServicePhase::stopPending;
        // In the order of ServicePhase.
        constexpr DWORD kStates[] = {SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING,
                                     SERVICE_STOPPED};
        status_.dwCurrentState = kStates[static_cast<int>(phase)];
        status_.dwControlsAccepted =
            phase == ServicePhase::running ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
        status_.dwWin32ExitCode = phase == ServicePhase::stopped ? exitCode : NO_ERROR;
        status_.dwCheckPoint = pending ? status_.dwCheckPoint + 1 : 0;
        status_.dwWaitHint = pending ? kPendingWaitHintMs : 0;
        if (handle_ != nullptr) {
            SetServiceStatus(handle_, &status_);
        }
    }

  private:
    SERVICE_STATUS status_{SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
    SERVICE_STATUS_HANDLE handle_ = nullptr;
};

// The one way in to the running service from the control handler. The handler is of the simple
// kind, which the SCM calls with the control code alone, on another thread, so the service it
// stops must be reachable without a context: ServiceMain publishes its runtime here for as long
// as it runs (once per process), and everything else lives in that runtime.
std::atomic<ServiceRuntime*> runningService{nullptr};

void WINAPI serviceControlHandler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) {
        return;
    }
    if (ServiceRuntime* runtime = runningService.load()) {
        runtime->stop();
    }
}

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
    ScmStatus status;
    ServiceRuntime runtime(status);
    runningService.store(&runtime);
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerW(kServiceName, serviceControlHandler);
    if (handle != nullptr) {
        status.attach(handle);
        runtime.run();
    }
    runningService.store(nullptr);
}

}  // namespace

std::uint32_t threadStartFailureCode(int /*errorValue*/) noexcept {
    // The standard library reports a C errno value, which is no Windows error code.
    return ERROR_NO_SYSTEM_RESOURCES;
}

std::uint32_t runAsService() {
    // The table wants a writable string.
    std::wstring name = kServiceName;
    SERVICE_TABLE_ENTRYW dispatchTable[] = {
        {name.data(), ServiceMain},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(dispatchTable)) {
        return GetLastError();
    }
    return 0;
}

}  // namespace halvern
