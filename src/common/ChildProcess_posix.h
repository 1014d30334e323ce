#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "common/UniqueFd.h"

namespace halvern {

// Owner of one child process of ours and of the process group it leads: whatever the child
// starts stays in that group unless it moves itself out, and ending the child ends the group.
// The child is reaped exactly once, so it never lingers as a zombie; once reaped, its pid is
// never signalled again, because the number may already belong to an unrelated process.
class ChildProcess {
  public:
    // How long `reset` waits for a killed child before leaving it to a later sweep.
    static constexpr int kKillWaitMs = 3000;

    ChildProcess() noexcept = default;
    explicit ChildProcess(pid_t pid) noexcept : pid_(pid) {}
    ~ChildProcess() { reset(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    pid_t pid() const noexcept { return pid_; }
    // The child's process id, 0 when there is none.
    std::uint32_t id() const noexcept { return valid() ? static_cast<std::uint32_t>(pid_) : 0; }
    bool valid() const noexcept { return pid_ > 0; }

    // The raw wait status once the child has ended (reaping it on first sight), nothing while
    // it runs. A wait that fails also answers nothing. What the child left running in its group
    // is killed just before the reaping, while the zombie still holds the group's id.
    std::optional<int> waitStatusIfExited() noexcept;

    // Kills a child that has not been reaped yet, with its group, by SIGKILL and waits up to
    // `waitMs` for it, then forgets it. A child that outlives the wait goes to reapWhenEnded.
    void reset(int waitMs = kKillWaitMs) noexcept;

  private:
    enum class State { Running, Reaped, Lost };

    void pollOnce() noexcept;

    pid_t pid_ = -1;
    State state_ = State::Running;
    int status_ = 0;
};

using ChildLog = UniqueFd;  // -1 when there is no log

// The exit code that a wait status stands for, as Windows would report it: the status of a
// normal exit; for a death by signal the shells' 128 + the signal number, so that a crash reads
// as a failure with a recognisable code.
std::uint32_t exitCodeOf(int waitStatus) noexcept;

// The one list of killed children that outlived their bounded wait (stuck in the kernel), kept
// for every child of the service, long-running or a short command. Each is reaped by a later
// sweep once it has ended, so that none lingers as a zombie. Only these pids are waited for: a
// SIGCHLD handler or waitpid(-1) would steal the statuses of other children. Nothing on the list
// is ever signalled, since its number may pass to an unrelated process once it is reaped.
void reapWhenEnded(pid_t pid) noexcept;
// Reaps whatever on the list has ended since. Owners call it as they start and end children.
void reapEndedChildren() noexcept;

}  // namespace halvern
