#pragma once

#include <cstdint>

#include "common/WinHandle.h"

namespace halvern {

// The child's process handle and the job object that holds it and everything it starts. Closing
// the job ends them all (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE), and the system closes it when the
// service dies, however it dies. No job where the system refused one.
struct ChildProcess {
    // How long `reset` waits for the ended child, so that its files are free again.
    static constexpr int kKillWaitMs = 3000;

    UniqueHandle job;
    UniqueHandle handle;  // null when there is no child
    bool valid() const noexcept { return handle.valid(); }
    // The child's process id, 0 when there is none.
    std::uint32_t id() const noexcept;
    // Ends the child with everything its job holds, waits a bounded time for it, and closes both
    // handles. The child is ended by itself too: where it runs without a job (the system refused
    // one), closing its handle would leave it running, suspended for good if its launch failed
    // before the resume.
    void reset() noexcept;
};

using ChildLog = UniqueFileHandle;  // INVALID_HANDLE_VALUE when there is no log

}  // namespace halvern
