#include <windows.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <vector>

#include "common/DebugOutput.h"
#include "common/ErrorText.h"
#include "processes/ChildLaunch.h"
#include "processes/RestrictedToken.h"
#include "processes/SessionFolder_win.h"

namespace halvern {
namespace {

std::atomic<bool> refuseJobs{false};

// A job of its own for the suspended child, so that stopping it, or the service's death, ends
// its whole tree. Where the system refuses one (the service itself runs in a job that forbids
// nesting or breakaway: Windows 7 and Server 2008 R2, or an outer job with UI limits), the
// child runs without a job, as children did before jobs, and a stop ends it alone with
// TerminateProcess: the safety net never costs the tunnel. One debug line names the refusal.
UniqueHandle jobForChild(HANDLE process, const std::string& exeName) noexcept {
    const char* call = "CreateJobObjectW";
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    DWORD error = job.valid() ? ERROR_SUCCESS : GetLastError();
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (error == ERROR_SUCCESS &&
        !SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof(limits))) {
        error = GetLastError();
        call = "SetInformationJobObject";
    }
    if (error == ERROR_SUCCESS && (refuseJobs || !AssignProcessToJobObject(job.get(), process))) {
        error = refuseJobs ? ERROR_ACCESS_DENIED : GetLastError();
        call = "AssignProcessToJobObject";
    }
    if (error == ERROR_SUCCESS) {
        return job;
    }
    try {
        writeDebugOutput("HalvernService job: " + std::string(call) + " failed" +
                         errorCodeSuffix(error) + "; " + exeName + " runs without a job\n");
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the line is lost
    }
    return {};
}

}  // namespace

void refuseChildJobsForTesting(bool refuse) noexcept {
    refuseJobs = refuse;
}

std::string executableFileName(const std::string& baseName) {
    return baseName + ".exe";
}

JournalledChild launchHidden(const ChildCommand& command, const std::string& exePath,
                             const ChildLog& logFile, const std::string& exeName,
                             JournalRecorder* journal, ChildRights rights) {
    const auto failure = [&exeName](DWORD error) {
        return std::runtime_error("Failed to start " + exeName + errorCodeSuffix(error));
    };
    // A child without rights of its own (the proxy core) runs on a restricted copy of the
    // service's token, or not at all. The bridge keeps the service's token: it creates the
    // adapter, and nothing on its command line is the client's.
    UniqueHandle token;
    if (rights == ChildRights::none) {
        std::uint32_t error = 0;
        token = createRestrictedToken(error);
        if (!token.valid()) {
            throw failure(error);
        }
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    if (logFile.valid()) {
        startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = logFile.get();
        startup.hStdError = logFile.get();
    }
    // Passed even when empty (a bare executable name); the creation may then fail, and that
    // failure is reported like any other.
    const std::string workingDirectory = std::filesystem::path(exePath).parent_path().string();
    std::vector<char> commandLine(command.commandLine.begin(), command.commandLine.end());
    commandLine.push_back('\0');

    // The child joins its job while suspended, before it can start anything that would escape.
    JournalledChild child;
    constexpr DWORD kFlags = CREATE_NO_WINDOW | CREATE_SUSPENDED;
    PROCESS_INFORMATION info{};
    const BOOL created =
        rights == ChildRights::none
            ? CreateProcessAsUserA(token.get(), nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                   kFlags, nullptr, workingDirectory.c_str(), &startup, &info)
            : CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, kFlags, nullptr,
                             workingDirectory.c_str(), &startup, &info);
    if (!created) {
        throw failure(GetLastError());
    }
    const UniqueHandle thread(info.hThread);
    child.process = ChildProcess(
        reinterpret_cast<std::intptr_t>(info.hProcess),
        reinterpret_cast<std::intptr_t>(jobForChild(info.hProcess, exeName).release()));
    journalChild(child, journal, info.dwProcessId);
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        const DWORD error = GetLastError();
        TerminateProcess(info.hProcess, 1);
        throw failure(error);
    }
    return child;
}

// Each child's job object ended everything it started when the child was stopped.
std::optional<std::size_t> endLeftoverChildren() noexcept {
    return std::nullopt;
}

}  // namespace halvern
