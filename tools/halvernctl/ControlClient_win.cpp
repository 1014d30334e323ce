#include <windows.h>

#include <io.h>

#include <cstdio>
#include <string>
#include <utility>

#include "ControlClient.h"
#include "common/ErrorText.h"
#include "common/MonotonicClock.h"
#include "common/WinHandle.h"
#include "control/ControlServer.h"
#include "service/ServiceHandle_win.h"

namespace halvern {
namespace {

// The service keeps one pipe instance, so a client that arrives while another is served finds
// it busy, and one that arrives while the service starts finds no pipe. Both are retried for a
// while before the service counts as not running.
constexpr std::int64_t kConnectPatienceMilliseconds = 5000;
constexpr std::int64_t kMissingPipePatienceMilliseconds = 1000;

// Whoever serves the name must be the service the SCM runs: a process of anyone else's that
// holds it would otherwise read the request (the client's credentials) and could answer
// anything. Empty when it is, else why not.
std::string serverProblem(HANDLE pipe) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) {
        const DWORD error = GetLastError();
        return "cannot tell which process serves the pipe" + errorCodeSuffix(error);
    }
    const DWORD service = serviceProcessId();
    if (service == 0) {
        return "process " + std::to_string(server) +
               " serves the pipe, but HalvernService is not running";
    }
    if (server != service) {
        return "process " + std::to_string(server) + " serves the pipe, not HalvernService (" +
               std::to_string(service) + "); nothing was sent";
    }
    return {};
}

}  // namespace

ControlExchange exchangeRequest(std::string_view request) {
    const std::wstring name = controlEndpointAddress().wstring();
    const auto start = MonotonicClock::now();
    UniqueFileHandle pipe;
    DWORD openError = ERROR_SUCCESS;
    waitUntil(
        [&] {
            // Identification only: the server may learn who the client is, never act as it.
            pipe.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                   nullptr));
            openError = pipe.valid() ? ERROR_SUCCESS : GetLastError();
            const std::int64_t waited = elapsedMilliseconds(start);
            if (openError == ERROR_PIPE_BUSY && waited < kConnectPatienceMilliseconds) {
                WaitNamedPipeW(name.c_str(),
                               static_cast<DWORD>(kConnectPatienceMilliseconds - waited));
                return false;
            }
            return openError != ERROR_FILE_NOT_FOUND || waited >= kMissingPipePatienceMilliseconds;
        },
        kConnectPatienceMilliseconds, 20);
    if (!pipe.valid()) {
        if (openError == ERROR_ACCESS_DENIED) {
            return {.failure =
                        "access denied (the pipe admits the system, administrators and interactive "
                        "users)"};
        }
        if (openError == ERROR_FILE_NOT_FOUND) {
            return {.failure = "not running (no pipe \\\\.\\pipe\\HalvernService)"};
        }
        if (openError == ERROR_PIPE_BUSY) {
            return {.failure = "the service stayed busy with other clients"};
        }
        return {.failure = "cannot open the pipe" + errorCodeSuffix(openError)};
    }

    if (std::string problem = serverProblem(pipe.get()); !problem.empty()) {
        return {.failure = std::move(problem)};
    }

    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);

    std::string line(request);
    line += '\n';
    DWORD written = 0;
    WriteFile(pipe.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);

    // The answer is one message; ERROR_MORE_DATA says it goes on beyond the buffer.
    ControlExchange exchange;
    char buffer[65536];
    for (;;) {
        DWORD count = 0;
        const BOOL succeeded = ReadFile(pipe.get(), buffer, sizeof(buffer), &count, nullptr);
        const DWORD error = succeeded ? ERROR_SUCCESS : GetLastError();
        exchange.response.append(buffer, count);
        if (succeeded || error != ERROR_MORE_DATA) {
            break;
        }
    }
    if (exchange.response.empty()) {
        return {.failure = "the service closed the connection without answering"};
    }
    exchange.reached = true;
    return exchange;
}

bool standardOutputIsTerminal() {
    return _isatty(_fileno(stdout)) != 0;
}

}  // namespace halvern
