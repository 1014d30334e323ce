#include <windows.h>

#include "common/ChildProcess.h"

namespace halvern {

void ChildProcess::reset() noexcept {
    if (!job.valid() && handle.valid()) {
        TerminateProcess(handle.get(), 1);
    }
    job.reset();
    handle.reset();
}

}  // namespace halvern
