#include "common/ChildProcess.h"

#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <mutex>
#include <vector>

#include "common/ChildProcess_posix.h"
#include "common/MonotonicClock.h"
#include "common/UniqueFd.h"

namespace halvern {
namespace {

std::mutex unreapedMutex;
std::vector<pid_t>& unreapedChildren() {
    static std::vector<pid_t> children;
    return children;
}

// The exit code that a wait status stands for, as Windows would report it: the status of a
// normal exit; for a death by signal the shells' 128 + the signal number, so that a crash reads
// as a failure with a recognisable code.
std::uint32_t exitCodeOf(int waitStatus) noexcept {
    if (WIFSIGNALED(waitStatus)) {
        return 128U + static_cast<std::uint32_t>(WTERMSIG(waitStatus));
    }
    return static_cast<std::uint32_t>(WEXITSTATUS(waitStatus));
}

}  // namespace

void reapWhenEnded(pid_t pid) noexcept {
    const std::lock_guard lock(unreapedMutex);
    try {
        unreapedChildren().push_back(pid);
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the zombie stays
    }
}

void reapEndedChildren() noexcept {
    const std::lock_guard lock(unreapedMutex);
    std::erase_if(unreapedChildren(), [](pid_t pid) {
        int status = 0;
        const pid_t result = ::waitpid(pid, &status, WNOHANG);
        return result == pid || (result < 0 && errno == ECHILD);
    });
}

std::uint32_t ChildProcess::id() const noexcept {
    return valid() ? static_cast<std::uint32_t>(process_) : 0;
}

void ChildProcess::refresh() noexcept {
    if (!valid() || state_ != State::running) {
        return;
    }
    const auto pid = static_cast<pid_t>(process_);
    // Looked at first without reaping (WNOWAIT): while the ended child is a zombie, its group's
    // id cannot pass to anyone else, so its leftovers can be killed without a doubt.
    siginfo_t info{};
    int result = 0;
    do {
        result = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        // Reaped behind our back (SIGCHLD ignored, or a stray wait elsewhere): the number is no
        // longer ours to signal.
        if (errno == ECHILD) {
            state_ = State::lost;
        }
        return;
    }
    if (info.si_pid != pid) {
        return;  // still running
    }
    ::kill(-pid, SIGKILL);
    int status = 0;
    pid_t reaped = 0;
    do {
        reaped = ::waitpid(pid, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == pid) {
        state_ = State::reaped;
        waitStatus_ = status;
    } else if (reaped < 0 && errno == ECHILD) {
        state_ = State::lost;
    }
}

std::optional<std::uint32_t> ChildProcess::exitCodeIfExited() noexcept {
    refresh();
    return state_ == State::reaped ? std::optional(exitCodeOf(waitStatus_)) : std::nullopt;
}

// A pidfd ends the wait as soon as the child does; where pidfds are unavailable (an old kernel,
// a strict seccomp profile) the bounded poll's pauses stand in. Called through syscall(): glibc's
// own wrapper is missing from older releases and its header lacks C linkage in some.
std::optional<std::uint32_t> ChildProcess::waitForExit(int timeoutMs) noexcept {
    refresh();
    if (!valid() || state_ != State::running) {
        return exitCodeIfExited();  // a reaped child's number may be someone else's by now
    }
    const UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, process_, 0U)));
    const auto start = MonotonicClock::now();
    waitUntil(
        [&] {
            refresh();
            if (state_ == State::running && pidfd.valid()) {
                pollfd ended{pidfd.get(), POLLIN, 0};
                ::poll(&ended, 1,
                       static_cast<int>(
                           std::max<std::int64_t>(0, timeoutMs - elapsedMilliseconds(start))));
                refresh();
            }
            return state_ != State::running;
        },
        timeoutMs, 2);
    return exitCodeIfExited();
}

void ChildProcess::terminate(int waitMs) noexcept {
    reapEndedChildren();
    if (!valid()) {
        return;
    }
    refresh();
    if (state_ == State::running) {
        const auto pid = static_cast<pid_t>(process_);
        // A child that does not lead a group of its own (none of ours) is killed by itself.
        if (::kill(-pid, SIGKILL) != 0) {
            ::kill(pid, SIGKILL);
        }
        waitForExit(waitMs);
    }
    detach();
}

void ChildProcess::detach() noexcept {
    if (valid() && state_ == State::running) {
        reapWhenEnded(static_cast<pid_t>(process_));
    }
    process_ = 0;
    state_ = State::running;
    waitStatus_ = 0;
}

}  // namespace halvern
