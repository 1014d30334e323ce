#include <windows.h>

#include <utility>

#include "common/ChildProcess.h"
#include "common/WinHandle.h"

namespace halvern {
namespace {

HANDLE asHandle(std::intptr_t value) noexcept {
    return reinterpret_cast<HANDLE>(value);  // NOLINT(performance-no-int-to-ptr): kept as a number
}

}  // namespace

std::uint32_t ChildProcess::id() const noexcept {
    return valid() ? GetProcessId(asHandle(process_)) : 0;
}

void ChildProcess::refresh() noexcept {}

std::optional<std::uint32_t> ChildProcess::exitCodeIfExited() noexcept {
    DWORD code = 0;
    if (valid() && GetExitCodeProcess(asHandle(process_), &code) && code != STILL_ACTIVE) {
        return code;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> ChildProcess::waitForExit(int timeoutMs) noexcept {
    if (valid()) {
        WaitForSingleObject(asHandle(process_), static_cast<DWORD>(timeoutMs));
    }
    return exitCodeIfExited();
}

void ChildProcess::detach() noexcept {
    UniqueHandle closedJob(asHandle(std::exchange(job_, 0)));
    UniqueHandle closedProcess(asHandle(std::exchange(process_, 0)));
}

// The child is ended by itself too: where it runs without a job (the system refused one),
// closing its handle would leave it running, suspended for good if its launch failed before the
// resume. Closing the job ends what it holds in any case (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE).
void ChildProcess::terminate(int waitMs) noexcept {
    if (valid()) {
        if (job_ != 0) {
            TerminateJobObject(asHandle(job_), 0);
        }
        TerminateProcess(asHandle(process_), 0);
        waitForExit(waitMs);
    }
    detach();
}

}  // namespace halvern
