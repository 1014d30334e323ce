#pragma once

#include "common/WinHandle.h"

namespace halvern {

// The child's process handle and the job object that holds it and everything it starts. Closing
// the job ends them all (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE), and the system closes it when the
// service dies, however it dies. No job where the system refused one.
struct ChildProcess {
    UniqueHandle job;
    UniqueHandle handle;  // null when there is no child
    bool valid() const noexcept { return handle.valid(); }
    // Ends the child: through its job, or, where it runs without one (the system refused it),
    // by itself, since closing its handle would leave it running, suspended for good if its
    // launch failed before the resume.
    void reset() noexcept;
};

using ChildLog = UniqueFileHandle;  // INVALID_HANDLE_VALUE when there is no log

}  // namespace halvern
