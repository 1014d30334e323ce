#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

#include "common/ChildProcess.h"
#include "common/MonotonicClock.h"
#include "common/UniqueFd.h"
#include "network/CommandRunner_posix.h"
#include "processes/ChildSpawn.h"

namespace halvern {

namespace {

// Writes `input` to the child's end of the stream, within the time left of the command's bound,
// then closes it so that the child reads its end. A socket rather than a pipe: send() with
// MSG_NOSIGNAL reports a child that stopped reading as EPIPE instead of raising SIGPIPE in the
// service.
void feedInput(UniqueFd socket, const std::string& input, MonotonicClock::time_point start) {
    std::size_t written = 0;
    while (written < input.size()) {
        const ssize_t count = ::send(socket.get(), input.data() + written, input.size() - written,
                                     MSG_NOSIGNAL | MSG_DONTWAIT);
        const int error = count < 0 ? errno : 0;
        if (count > 0) {
            written += static_cast<std::size_t>(count);
            continue;
        }
        const std::int64_t remaining = kCommandTimeoutMilliseconds - elapsedMilliseconds(start);
        if (remaining <= 0 || (error != EAGAIN && error != EINTR)) {
            return;
        }
        pollfd entry{socket.get(), POLLOUT, 0};
        poll(&entry, 1, static_cast<int>(remaining));
    }
}

// A command still running after the time-out counts as exit code 259, as on Windows, but it
// does not run on: its owner kills it with its process group and reaps it, so that neither it
// nor a zombie of it outlives the call.
std::uint32_t waitOrKill(ChildProcess& command, MonotonicClock::time_point start) {
    const std::int64_t remaining =
        std::max<std::int64_t>(0, kCommandTimeoutMilliseconds - elapsedMilliseconds(start));
    if (const auto exitCode = command.waitForExit(static_cast<int>(remaining))) {
        return *exitCode;
    }
    if (command.lost()) {
        return 0;  // somebody else reaped it; like a failed GetExitCodeProcess, a success
    }
    return kStillRunningExitCode;
}

CommandOutcome runBounded(const CommandLine& commandLine, FailurePolicy policy,
                          const std::string* input) {
    const auto start = MonotonicClock::now();
    UniqueFd ours;
    UniqueFd theirs;
    int error = 0;
    if (input != nullptr) {
        int ends[2] = {-1, -1};
        error = ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0 ? errno : 0;
        ours.reset(ends[0]);
        theirs.reset(ends[1]);
    }
    ChildProcess command;
    if (error == 0 && commandLine.empty()) {
        error = ENOENT;
    } else if (error == 0) {
        // Hidden and inheriting nothing: the standard streams go to /dev/null (the input comes
        // from `theirs` when there is one), every other descriptor is closed, signal handling is
        // the default; a group of its own, so that a command that runs too long is killed
        // together with whatever it started.
        ChildSpawnError failure;
        ChildSpawnPlan plan;
        plan.argv = commandLine;
        plan.program = commandLine[0];
        plan.inputFd = theirs.get();
        plan.limitFileSize = false;
        command = spawnChild(plan, nullptr, failure);
        error = failure.error;
        theirs.reset();
    }
    if (error != 0) {
        if (policy == FailurePolicy::tolerate) {
            return CommandOutcome::notRun;
        }
        throw std::runtime_error(
            launchFailureMessage(static_cast<std::uint32_t>(error), joinCommandLine(commandLine)));
    }
    if (input != nullptr) {
        feedInput(std::move(ours), *input, start);
    }
    const std::uint32_t exitCode = waitOrKill(command, start);
    if (policy == FailurePolicy::throwOnFailure && exitCode != 0) {
        throw std::runtime_error(exitFailureMessage(exitCode, joinCommandLine(commandLine)));
    }
    return outcomeOfExitCode(exitCode);
}

}  // namespace

CommandOutcome runCommand(const CommandLine& commandLine, FailurePolicy policy) {
    return runBounded(commandLine, policy, nullptr);
}

CommandOutcome runCommand(const CommandLine& commandLine, FailurePolicy policy,
                          const std::string& standardInput) {
    return runBounded(commandLine, policy, &standardInput);
}

}  // namespace halvern
