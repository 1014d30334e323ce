#include "common/ChildProcess.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <mutex>
#include <utility>
#include <vector>

#include "common/MonotonicClock.h"

namespace halvern {
namespace {

std::mutex unreapedMutex;
std::vector<pid_t>& unreapedChildren() {
    static std::vector<pid_t> children;
    return children;
}

}  // namespace

std::uint32_t exitCodeOf(int waitStatus) noexcept {
    if (WIFSIGNALED(waitStatus)) {
        return 128U + static_cast<std::uint32_t>(WTERMSIG(waitStatus));
    }
    return static_cast<std::uint32_t>(WEXITSTATUS(waitStatus));
}

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

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      state_(std::exchange(other.state_, State::Running)),
      status_(std::exchange(other.status_, 0)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        reset();
        pid_ = std::exchange(other.pid_, -1);
        state_ = std::exchange(other.state_, State::Running);
        status_ = std::exchange(other.status_, 0);
    }
    return *this;
}

void ChildProcess::pollOnce() noexcept {
    if (!valid() || state_ != State::Running) {
        return;
    }
    // Looked at first without reaping (WNOWAIT): while the ended child is a zombie, its group's
    // id cannot pass to anyone else, so its leftovers can be killed without a doubt.
    siginfo_t info{};
    int result = 0;
    do {
        result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
        // Reaped behind our back (SIGCHLD ignored, or a stray wait elsewhere): the number is no
        // longer ours to signal.
        if (errno == ECHILD) {
            state_ = State::Lost;
        }
        return;
    }
    if (info.si_pid != pid_) {
        return;  // still running
    }
    ::kill(-pid_, SIGKILL);
    int status = 0;
    pid_t reaped = 0;
    do {
        reaped = ::waitpid(pid_, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == pid_) {
        state_ = State::Reaped;
        status_ = status;
    } else if (reaped < 0 && errno == ECHILD) {
        state_ = State::Lost;
    }
}

std::optional<int> ChildProcess::waitStatusIfExited() noexcept {
    pollOnce();
    return state_ == State::Reaped ? std::optional(status_) : std::nullopt;
}

void ChildProcess::reset(int waitMs) noexcept {
    reapEndedChildren();
    if (!valid()) {
        return;
    }
    pollOnce();
    if (state_ == State::Running) {
        // A child that does not lead a group of its own (none of ours) is killed by itself.
        if (::kill(-pid_, SIGKILL) != 0) {
            ::kill(pid_, SIGKILL);
        }
        const auto start = MonotonicClock::now();
        for (pollOnce(); state_ == State::Running; pollOnce()) {
            if (elapsedMilliseconds(start) >= waitMs) {
                reapWhenEnded(pid_);
                break;
            }
            sleepMilliseconds(2);
        }
    }
    pid_ = -1;
    state_ = State::Running;
    status_ = 0;
}

}  // namespace halvern
