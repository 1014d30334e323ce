#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/ChildProcess.h"
#include "common/WinHandle.h"
#include "network/CommandRunner.h"

namespace halvern {

namespace {

// Starts `line` (null-terminated; the call may write into it) hidden, inheriting no handles. On
// failure `error` is the last error, read right after the call.
template <typename Startup, typename Char, typename Create>
bool createHiddenWith(Create create, std::vector<Char> line, PROCESS_INFORMATION& info,
                      DWORD& error) {
    Startup startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    if (!create(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                &startup, &info)) {
        error = GetLastError();
        return false;
    }
    return true;
}

// Interface names reach us as UTF-8, while CreateProcessA reads its line in the ANSI code page:
// on a localized system the default interface is often called something like "Ethernet" in the
// local script, and handed over byte for byte it would name no interface at all. Lines that are
// not pure ASCII are therefore converted from UTF-8 and started through CreateProcessW with the
// very same arguments; a line that is not valid UTF-8 is passed on as it stands.
bool createHidden(const std::string& line, PROCESS_INFORMATION& info, DWORD& error) {
    if (!std::ranges::all_of(line, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        const int wideLength = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(),
                                                   static_cast<int>(line.size()), nullptr, 0);
        if (wideLength > 0) {
            std::vector<wchar_t> wide(static_cast<std::size_t>(wideLength) + 1, L'\0');
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(),
                                static_cast<int>(line.size()), wide.data(), wideLength);
            return createHiddenWith<STARTUPINFOW>(CreateProcessW, std::move(wide), info, error);
        }
    }
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    return createHiddenWith<STARTUPINFOA>(CreateProcessA, std::move(buffer), info, error);
}

}  // namespace

CommandOutcome runCommand(const CommandLine& commandLine, FailurePolicy policy) {
    const std::string line = joinCommandLine(commandLine);
    PROCESS_INFORMATION info;
    ZeroMemory(&info, sizeof(info));
    DWORD error = 0;
    if (!createHidden(line, info, error)) {
        if (policy == FailurePolicy::tolerate) {
            return CommandOutcome::notRun;
        }
        throw std::runtime_error(launchFailureMessage(error, line));
    }
    const UniqueHandle thread(info.hThread);
    ChildProcess command(reinterpret_cast<std::intptr_t>(info.hProcess));
    // A command still running after the wait fails with 259 (STILL_ACTIVE), and is left to run
    // on by itself.
    const std::uint32_t exitCode =
        command.waitForExit(kCommandTimeoutMilliseconds).value_or(kStillRunningExitCode);
    command.detach();
    if (policy == FailurePolicy::throwOnFailure && exitCode != 0) {
        throw std::runtime_error(exitFailureMessage(exitCode, line));
    }
    return outcomeOfExitCode(exitCode);
}

}  // namespace halvern
