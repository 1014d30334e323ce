#pragma once

#include <cstdint>
#include <optional>

namespace halvern {

// How long ending a child, or a process the journal recorded, waits for it before going on.
inline constexpr int kKillWaitMs = 3000;

// Owner of one child process of ours and of the tree it leads: on POSIX the process group the
// child leads (whatever it starts stays there unless it moves itself out), on Windows the job
// object it runs in, when the system gave it one. The child's end is always seen by its owner:
// on POSIX it is reaped exactly once, so it never lingers as a zombie, and once reaped its pid is
// never signalled again, because the number may already belong to an unrelated process.
class ChildProcess {
  public:
    ChildProcess() noexcept = default;
    // Takes over a child the platform's launch started: its pid on POSIX; its process handle and
    // the job's handle (0 for none) on Windows.
    explicit ChildProcess(std::intptr_t process, std::intptr_t job = 0) noexcept;
    ~ChildProcess() { terminate(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    bool valid() const noexcept;
    // The child's process id, 0 when there is none.
    std::uint32_t id() const noexcept;

    // The child's exit code once it has ended, nothing while it runs or when the query fails;
    // a POSIX death by signal reads as the shells' 128 + the signal number. On POSIX, what the
    // child left in its group is killed just before the reaping, while the zombie still holds the
    // group's id. On Windows a child that ended with 259 (STILL_ACTIVE) reads as running.
    std::optional<std::uint32_t> exitCodeIfExited() noexcept;
    // The same, once the child has ended or `timeoutMs` have passed.
    std::optional<std::uint32_t> waitForExit(int timeoutMs) noexcept;
    // Whether the child was reaped elsewhere (POSIX: SIGCHLD ignored, a stray wait).
    bool lost() const noexcept;

    // Forgets the child without ending it: it runs on (Windows' commands past their time-out).
    // A job, where the child has one, still ends it as it closes. On POSIX a child still running
    // goes to reapWhenEnded.
    void detach() noexcept;

    // Ends the child with its whole tree (its process group by SIGKILL; its job and itself, so
    // that a jobless child ends too), waits up to `waitMs` for it and forgets it. On POSIX a
    // child that outlives the wait goes to reapWhenEnded.
    void terminate(int waitMs = kKillWaitMs) noexcept;

  private:
    enum class State : unsigned char { running, reaped, lost };

    void refresh() noexcept;  // POSIX: looks once whether the child ended, and reaps it

    std::intptr_t process_ = 0;  // POSIX: the pid; Windows: the process handle. 0: none
    std::intptr_t job_ = 0;      // Windows: the job's handle, 0 where the system refused one
    int waitStatus_ = 0;         // POSIX: the wait status once reaped
    State state_ = State::running;
};

}  // namespace halvern
