#pragma once

#include <sys/types.h>

#include <optional>

namespace halvern {

// Owner of one child process of ours (POSIX) and of the process group it leads: whatever the
// child starts stays in that group unless it moves itself out, and ending the child ends the
// group. The child is reaped exactly once, so it never lingers as a zombie; once reaped, its pid
// is never signalled again, because the number may already belong to an unrelated process.
class ChildPid {
  public:
    // How long `reset` waits for a killed child before leaving it to a later sweep.
    static constexpr int kKillWaitMs = 3000;

    ChildPid() noexcept = default;
    explicit ChildPid(pid_t pid) noexcept : pid_(pid) {}
    ~ChildPid() { reset(); }
    ChildPid(const ChildPid&) = delete;
    ChildPid& operator=(const ChildPid&) = delete;
    ChildPid(ChildPid&& other) noexcept;
    ChildPid& operator=(ChildPid&& other) noexcept;

    pid_t pid() const noexcept { return pid_; }
    bool valid() const noexcept { return pid_ > 0; }

    // The raw wait status once the child has ended (reaping it on first sight), nothing while
    // it runs. A wait that fails also answers nothing. What the child left running in its group
    // is killed just before the reaping, while the zombie still holds the group's id.
    std::optional<int> waitStatusIfExited() noexcept;

    // Kills a child that has not been reaped yet, with its group, by SIGKILL and waits up to
    // `waitMs` for it, then forgets it. A child that outlives the wait (stuck in the kernel) is
    // kept on a list that later calls sweep, so it is still reaped once it finally dies.
    void reset(int waitMs = kKillWaitMs) noexcept;

  private:
    enum class State { Running, Reaped, Lost };

    void pollOnce() noexcept;

    pid_t pid_ = -1;
    State state_ = State::Running;
    int status_ = 0;
};

}  // namespace halvern
