#include <windows.h>

#include "common/ChildProcess.h"

namespace halvern {

std::uint32_t ChildProcess::id() const noexcept {
    return valid() ? GetProcessId(handle.get()) : 0;
}

void ChildProcess::reset() noexcept {
    if (valid()) {
        if (job.valid()) {
            TerminateJobObject(job.get(), 0);
        }
        TerminateProcess(handle.get(), 0);
        WaitForSingleObject(handle.get(), kKillWaitMs);
    }
    job.reset();
    handle.reset();
}

}  // namespace halvern
