#include <windows.h>

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

// The SCM calls it on another thread with the runtime that ServiceMain registered as its
// context; the runtime outlives every call, since no control reaches a service reported stopped.
// Every control counts as handled, as with a handler that reports nothing: the SCM sends only
// those the service accepts, and interrogations.
DWORD WINAPI serviceControlHandler(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/,
                                   LPVOID context) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        static_cast<ServiceRuntime*>(context)->stop();
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
    ScmStatus status;
    ServiceRuntime runtime(status);
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(kServiceName, serviceControlHandler, &runtime);
    if (handle != nullptr) {
        status.attach(handle);
        runtime.run();
    }
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
