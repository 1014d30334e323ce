#include "common/ChildProcess.h"

#include <utility>

namespace halvern {

ChildProcess::ChildProcess(std::intptr_t process, std::intptr_t job) noexcept
    : process_(process), job_(job) {}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept {
    *this = std::move(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        terminate();
        process_ = std::exchange(other.process_, 0);
        job_ = std::exchange(other.job_, 0);
        waitStatus_ = std::exchange(other.waitStatus_, 0);
        state_ = std::exchange(other.state_, State::running);
    }
    return *this;
}

bool ChildProcess::valid() const noexcept {
    return process_ > 0;  // never a negative pid, which kill() would take for a group
}

bool ChildProcess::lost() const noexcept {
    return state_ == State::lost;
}

}  // namespace halvern
