#include "processes/HiddenStart_win.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <vector>

#include "common/DebugOutput.h"
#include "common/ErrorText.h"
#include "common/WinHandle.h"
#include "processes/ChildLaunch.h"

namespace halvern {
namespace {

std::atomic<bool> refuseJobs{false};

// A job of its own for the suspended process, so that stopping it, or the service's death, ends
// its whole tree. Where the system refuses one (the service itself runs in a job that forbids
// nesting or breakaway: Windows 7 and Server 2008 R2, or an outer job with UI limits), the
// process runs without a job, as children did before jobs, and a stop ends it alone with
// TerminateProcess: the safety net never costs the tunnel. One debug line names the refusal.
UniqueHandle jobFor(HANDLE process, const std::string& name) noexcept {
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
                         errorCodeSuffix(error) + "; " + name + " runs without a job\n");
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the line is lost
    }
    return {};
}

template <typename Startup>
Startup hiddenStartup(void* output) {
    Startup startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    if (output != nullptr) {
        startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output;
        startup.hStdError = output;
    }
    return startup;
}

// The wide line of a plan whose line is UTF-8 and not pure ASCII; nothing otherwise, or where
// the line is not valid UTF-8 (it is then passed on as it stands).
std::optional<std::vector<wchar_t>> wideLine(const HiddenStartPlan& plan) {
    const std::string& line = plan.commandLine;
    if (!plan.lineIsUtf8 ||
        std::ranges::all_of(line, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        return std::nullopt;
    }
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(),
                                           static_cast<int>(line.size()), nullptr, 0);
    if (length <= 0) {
        return std::nullopt;
    }
    std::vector<wchar_t> wide(static_cast<std::size_t>(length) + 1, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line.data(), static_cast<int>(line.size()),
                        wide.data(), length);
    return wide;
}

bool create(const HiddenStartPlan& plan, DWORD flags, PROCESS_INFORMATION& info) {
    if (auto wide = wideLine(plan)) {
        STARTUPINFOW startup = hiddenStartup<STARTUPINFOW>(plan.output);
        return CreateProcessW(nullptr, wide->data(), nullptr, nullptr, plan.inheritHandles, flags,
                              nullptr, nullptr, &startup, &info) != FALSE;
    }
    STARTUPINFOA startup = hiddenStartup<STARTUPINFOA>(plan.output);
    // A writable copy: the call may write into it.
    std::vector<char> line(plan.commandLine.begin(), plan.commandLine.end());
    line.push_back('\0');
    const char* directory = plan.directory ? plan.directory->c_str() : nullptr;
    if (plan.token != nullptr) {
        return CreateProcessAsUserA(plan.token, nullptr, line.data(), nullptr, nullptr,
                                    plan.inheritHandles, flags, nullptr, directory, &startup,
                                    &info) != FALSE;
    }
    return CreateProcessA(nullptr, line.data(), nullptr, nullptr, plan.inheritHandles, flags,
                          nullptr, directory, &startup, &info) != FALSE;
}

}  // namespace

void refuseChildJobsForTesting(bool refuse) noexcept {
    refuseJobs = refuse;
}

ChildProcess startHidden(const HiddenStartPlan& plan, std::uint32_t& error,
                         const std::function<void(std::uint32_t pid)>& beforeRun) {
    const bool jobbed = !plan.jobFor.empty();
    PROCESS_INFORMATION info{};
    if (!create(plan, CREATE_NO_WINDOW | (jobbed ? CREATE_SUSPENDED : 0), info)) {
        error = GetLastError();
        return {};
    }
    const UniqueHandle thread(info.hThread);
    const auto handle = reinterpret_cast<std::intptr_t>(info.hProcess);
    if (!jobbed) {
        return ChildProcess(handle);
    }
    ChildProcess process(
        handle, reinterpret_cast<std::intptr_t>(jobFor(info.hProcess, plan.jobFor).release()));
    if (beforeRun) {
        beforeRun(info.dwProcessId);
    }
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        error = GetLastError();
        return {};  // `process` ends the suspended child as it goes
    }
    return process;
}

}  // namespace halvern
