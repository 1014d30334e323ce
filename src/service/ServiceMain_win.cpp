#include <windows.h>

#include "service/ServiceEntry.h"
#include "service/ServiceRuntime.h"

namespace halvern {
namespace {

constexpr DWORD kPendingWaitHintMs = 10000;

wchar_t serviceName[] = L"HalvernService";

// Written by the handler thread and the service thread without a lock: the stop sequence
// orders the two writers (the handler's report comes before the service thread is released).
SERVICE_STATUS serviceStatus{SERVICE_WIN32_OWN_PROCESS, 0, 0, 0, 0, 0, 0};
SERVICE_STATUS_HANDLE statusHandle = nullptr;

void WINAPI serviceControlHandler(DWORD control) {
    if (control != SERVICE_CONTROL_STOP && control != SERVICE_CONTROL_SHUTDOWN) {
        return;
    }
    stopService();
}

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
    statusHandle = RegisterServiceCtrlHandlerW(serviceName, serviceControlHandler);
    if (statusHandle == nullptr) {
        return;
    }
    runService();
}

}  // namespace

void reportServiceStatus(ServicePhase phase, std::uint32_t exitCode) noexcept {
    switch (phase) {
        case ServicePhase::startPending:
            serviceStatus.dwCurrentState = SERVICE_START_PENDING;
            serviceStatus.dwControlsAccepted = 0;
            serviceStatus.dwWin32ExitCode = NO_ERROR;
            serviceStatus.dwCheckPoint += 1;
            serviceStatus.dwWaitHint = kPendingWaitHintMs;
            break;
        case ServicePhase::running:
            serviceStatus.dwCurrentState = SERVICE_RUNNING;
            serviceStatus.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
            serviceStatus.dwWin32ExitCode = NO_ERROR;
            serviceStatus.dwCheckPoint = 0;
            serviceStatus.dwWaitHint = 0;
            break;
        case ServicePhase::stopPending:
            serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
            serviceStatus.dwControlsAccepted = 0;
            serviceStatus.dwWin32ExitCode = NO_ERROR;
            serviceStatus.dwCheckPoint += 1;
            serviceStatus.dwWaitHint = kPendingWaitHintMs;
            break;
        case ServicePhase::stopped:
            serviceStatus.dwCurrentState = SERVICE_STOPPED;
            serviceStatus.dwControlsAccepted = 0;
            serviceStatus.dwWin32ExitCode = exitCode;
            serviceStatus.dwCheckPoint = 0;
            serviceStatus.dwWaitHint = 0;
            break;
    }
    if (statusHandle != nullptr) {
        SetServiceStatus(statusHandle, &serviceStatus);
    }
}

std::uint32_t threadStartFailureCode(int /*errorValue*/) noexcept {
    // The standard library reports a C errno value, which is no Windows error code.
    return ERROR_NO_SYSTEM_RESOURCES;
}

std::uint32_t runAsService() {
    SERVICE_TABLE_ENTRYW dispatchTable[] = {
        {serviceName, ServiceMain},
        {nullptr, nullptr},
    };
    if (!StartServiceCtrlDispatcherW(dispatchTable)) {
        return GetLastError();
    }
    return 0;
}

}  // namespace halvern
