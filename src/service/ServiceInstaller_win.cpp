#include <windows.h>

#include <cstdio>
#include <string>

#include "common/DebugOutput.h"
#include "common/ExecutablePath.h"
#include "common/MonotonicClock.h"
#include "common/ObjectSecurity_win.h"
#include "journal/JournalStore.h"
#include "network/NetworkSystem.h"
#include "processes/SessionFolder_win.h"
#include "service/ServiceEntry.h"
#include "service/ServiceHandle_win.h"
#include "tunnel/SessionRecovery.h"

namespace halvern {
namespace {

constexpr const wchar_t* kDisplayName = L"Halvern Service";

constexpr int kStopPolls = 40;
constexpr DWORD kStopPollIntervalMs = 250;

bool queryServiceState(SC_HANDLE service, DWORD& state) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                              sizeof(status), &needed)) {
        return false;
    }
    state = status.dwCurrentState;
    return true;
}

// The service, opened through a connection to the SCM that stays open beside it.
struct OpenedService {
    ServiceHandle manager;
    ServiceHandle service;
};

// 0, or the error of the call that failed, read before any handle is closed.
DWORD openService(DWORD access, OpenedService& opened) {
    opened.manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!opened.manager) {
        return GetLastError();
    }
    opened.service.reset(OpenServiceW(opened.manager.get(), kServiceName, access));
    return opened.service ? 0 : GetLastError();
}

// Waits for the stop at most the 40 x 250 ms the poll allows. A service that is not there is
// no failure.
void stopServiceAndWait() {
    OpenedService opened;
    if (openService(SERVICE_STOP | SERVICE_QUERY_STATUS, opened) != 0) {
        return;
    }
    SC_HANDLE service = opened.service.get();
    DWORD state = 0;
    if (queryServiceState(service, state) && state != SERVICE_STOPPED) {
        // A service already stopping, or not accepting a stop yet, is simply polled.
        SERVICE_STATUS ignored{};
        ControlService(service, SERVICE_CONTROL_STOP, &ignored);
        waitUntil([&] { return !queryServiceState(service, state) || state == SERVICE_STOPPED; },
                  kStopPolls * kStopPollIntervalMs, kStopPollIntervalMs);
    }
}

}  // namespace

// The image path is the executable's own full path (never cut short) in double quotes, with no
// arguments. The error is read right after the failing call: the handle owners'
// CloseServiceHandle may overwrite the thread's last error on the way out.
std::uint32_t installVerb() {
    const std::wstring executable = executablePath().native();
    if (executable.empty()) {
        const DWORD error = GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_INSUFFICIENT_BUFFER;
    }
    // The SCM runs the image as LocalSystem, so whoever can replace it, or a folder above it,
    // or plant a program beside it, gets the machine at the next start.
    if (const std::filesystem::path weak = firstPlaceOthersMayChange(executable); !weak.empty()) {
        static_cast<void>(std::fprintf(
            stderr,
            "HalvernService install: refused: users other than SYSTEM and the administrators "
            "may change %s, so they could replace what the service runs as LocalSystem; "
            "install it where only administrators can write (such as Program Files)\n",
            weak.string().c_str()));
        return ERROR_ACCESS_DENIED;
    }
    const std::wstring imagePath = L"\"" + executable + L"\"";

    const ServiceHandle manager(
        OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager) {
        return GetLastError();
    }

    ServiceHandle service(
        CreateServiceW(manager.get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service) {
        const DWORD createError = GetLastError();
        if (createError != ERROR_SERVICE_EXISTS) {
            return createError;
        }
        // Installing again points the registration at this executable and sets the start
        // type back to automatic.
        service = ServiceHandle(OpenServiceW(manager.get(), kServiceName, SERVICE_CHANGE_CONFIG));
        if (!service) {
            return GetLastError();
        }
        ChangeServiceConfigW(service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START,
                             SERVICE_ERROR_NORMAL, imagePath.c_str(), nullptr, nullptr, nullptr,
                             nullptr, nullptr, kDisplayName);
    }

    std::wstring text = L"Runs Halvern Windows tunnel processes and routes.";  // to be writable
    SERVICE_DESCRIPTIONW description{text.data()};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    return 0;
}

// The journal lives in the service's key, which DeleteService takes along: what a dead instance
// left (routes, children, the configuration) is undone first, as its next start would have.
// The session's files go with the product.
std::uint32_t uninstallVerb() {
    stopServiceAndWait();
    replaySessionJournal(sessionJournalPath(), hostNetworkSystem(), [](const std::string& line) {
        writeDebugOutput("HalvernService recovery: " + line + "\n");
    });
    OpenedService opened;
    if (const DWORD error = openService(DELETE, opened); error != 0) {
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
            return error;
        }
    } else if (!DeleteService(opened.service.get())) {
        return GetLastError();
    }
    removeSessionFiles();
    return 0;
}

std::uint32_t startVerb() {
    OpenedService opened;
    if (const DWORD error = openService(SERVICE_START | SERVICE_QUERY_STATUS, opened); error != 0) {
        return error;
    }
    // The verb does not wait for the service to reach the running state.
    const BOOL started = StartServiceW(opened.service.get(), 0, nullptr);
    const DWORD error = GetLastError();
    if (started || error == ERROR_SERVICE_ALREADY_RUNNING) {
        return 0;
    }
    return error;
}

std::uint32_t stopVerb() {
    stopServiceAndWait();
    return 0;
}

}  // namespace halvern
