#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/ChildProcess.h"
#include "common/MonotonicClock.h"
#include "common/ProgramSearch.h"
#include "common/UniqueFd.h"
#include "network/CommandRunner.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace halvern {

namespace {

class SpawnSettings {
  public:
    // `input`, when not -1, becomes the child's standard input instead of /dev/null.
    explicit SpawnSettings(int input) {
        posix_spawn_file_actions_init(&actions_);
        posix_spawnattr_init(&attributes_);
        // Hidden and inheriting nothing: the standard streams go to /dev/null, every other
        // descriptor is closed, whether or not its owner remembered close-on-exec.
        if (input >= 0) {
            posix_spawn_file_actions_adddup2(&actions_, input, STDIN_FILENO);
        } else {
            posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        }
        posix_spawn_file_actions_addopen(&actions_, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions_, STDOUT_FILENO, STDERR_FILENO);
        posix_spawn_file_actions_addclosefrom_np(&actions_, STDERR_FILENO + 1);
        // Nor does it inherit the service's blocked signals (its signal thread blocks SIGTERM)
        // or ignored ones.
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes_, &none);
        sigset_t all;
        sigfillset(&all);
        posix_spawnattr_setsigdefault(&attributes_, &all);
        // A process group of its own, so that a command that runs too long is killed together
        // with whatever it started.
        posix_spawnattr_setpgroup(&attributes_, 0);
        posix_spawnattr_setflags(
            &attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnSettings() {
        posix_spawnattr_destroy(&attributes_);
        posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attributes() const { return &attributes_; }

  private:
    posix_spawn_file_actions_t actions_{};
    posix_spawnattr_t attributes_{};
};

// Starts the command; returns 0 or the errno of the failed launch (ENOENT, 2, like Windows'
// file-not-found, when the program is not on PATH).
int spawnHidden(const CommandLine& commandLine, int input, pid_t& pid) {
    if (commandLine.empty()) {
        return ENOENT;
    }
    std::vector<char*> argv;
    argv.reserve(commandLine.size() + 1);
    for (const std::string& piece : commandLine) {
        argv.push_back(const_cast<char*>(piece.c_str()));  // exec does not write to them
    }
    argv.push_back(nullptr);
    const SpawnSettings settings(input);
    const ProgramCandidates candidates(commandLine[0]);
    return startFirstFound(candidates.get(), [&](const char* path) {
        return posix_spawn(&pid, path, settings.actions(), settings.attributes(), argv.data(),
                           environ);
    });
}

// Waits up to `timeoutMs` for the command to end and reaps it; nothing while it still runs. The
// pidfd makes the wait end as soon as the child does; where pidfds are unavailable (an old
// kernel or a strict seccomp profile) the poll becomes a short sleep between checks.
std::optional<std::uint32_t> waitBounded(pid_t pid, int pidfd, std::int64_t timeoutMs) {
    const auto start = MonotonicClock::now();
    for (;;) {
        int status = 0;
        const pid_t result = waitpid(pid, &status, WNOHANG);
        if (result == pid) {
            return exitCodeOf(status);
        }
        if (result < 0 && errno != EINTR) {
            // Somebody else reaped it; like a failed GetExitCodeProcess this reads as success.
            return 0;
        }
        const std::int64_t remaining = timeoutMs - elapsedMilliseconds(start);
        if (remaining <= 0) {
            return std::nullopt;
        }
        if (pidfd >= 0) {
            pollfd entry{pidfd, POLLIN, 0};
            poll(&entry, 1, static_cast<int>(remaining));
        } else {
            poll(nullptr, 0, static_cast<int>(std::min<std::int64_t>(remaining, 5)));
        }
    }
}

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
// does not run on: it is killed with its process group and reaped at once, so that neither it
// nor a zombie of it outlives the call.
std::uint32_t waitOrKill(pid_t pid, MonotonicClock::time_point start) {
    // Called through syscall(): glibc's own wrapper is missing from older releases and its
    // header lacks C linkage in some.
    const UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0U)));
    const std::int64_t remaining =
        std::max<std::int64_t>(0, kCommandTimeoutMilliseconds - elapsedMilliseconds(start));
    if (const auto exitCode = waitBounded(pid, pidfd.get(), remaining)) {
        return *exitCode;
    }
    kill(-pid, SIGKILL);
    if (!waitBounded(pid, pidfd.get(), ChildProcess::kKillWaitMs)) {
        reapWhenEnded(pid);  // killed, but stuck in the kernel
    }
    return kStillRunningExitCode;
}

CommandOutcome runBounded(const CommandLine& commandLine, bool allowFailure,
                          const std::string* input) {
    reapEndedChildren();
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
    pid_t pid = -1;
    if (error == 0) {
        error = spawnHidden(commandLine, theirs.get(), pid);
        theirs.reset();
    }
    if (error != 0) {
        if (allowFailure) {
            return CommandOutcome::notRun;
        }
        throw std::runtime_error(
            launchFailureMessage(static_cast<std::uint32_t>(error), joinCommandLine(commandLine)));
    }
    if (input != nullptr) {
        feedInput(std::move(ours), *input, start);
    }
    const std::uint32_t exitCode = waitOrKill(pid, start);
    reapEndedChildren();
    if (!allowFailure && exitCode != 0) {
        throw std::runtime_error(exitFailureMessage(exitCode, joinCommandLine(commandLine)));
    }
    return outcomeOfExitCode(exitCode);
}

}  // namespace

CommandOutcome runCommand(const CommandLine& commandLine, bool allowFailure) {
    return runBounded(commandLine, allowFailure, nullptr);
}

CommandOutcome runCommand(const CommandLine& commandLine, bool allowFailure,
                          const std::string& standardInput) {
    return runBounded(commandLine, allowFailure, &standardInput);
}

}  // namespace halvern
