#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/MonotonicClock.h"
#include "common/ProgramSearch.h"
#include "common/UniqueFd.h"
#include "processes/ChildSpawn.h"

extern char** environ;  // NOLINT(readability-redundant-declaration): POSIX declares it nowhere

namespace halvern {
namespace {

constexpr int kParentGoneExit = 126;
constexpr int kLaunchFailedExit = 127;
// From the go signal to the exec: milliseconds normally, far less than this even under load.
constexpr std::int64_t kExecWaitMilliseconds = 10000;

// Everything the child needs, prepared before the fork: between fork and exec the child may
// only make async-signal-safe calls (the service has other threads, and whatever locks they
// held were copied in that state), so it allocates nothing and only reads this.
struct ChildSide {
    char* const* argv;
    char* const* environment;
    const char* const* candidates;  // the paths to try, in PATH order
    const char* directory;          // nullptr: stay
    int inputFd;
    int outputFd;
    bool limitFileSize;
    const ChildAccount* account;  // nullptr: keep the service's account
    int goFd;                     // the service writes one byte here once the child is journalled
    int reportFd;  // close-on-exec: reads end-of-file on success, a ChildReport on failure
    pid_t parent;
};

// What a child that cannot run sends back before it exits.
struct ChildReport {
    int error;
    char step[28];  // the failed step of the change of account; empty for the exec itself
};

// A descriptor at 3 or above, so that placing the standard streams cannot overwrite it.
int aboveStandardStreams(int fd) {
    return fd >= 0 && fd <= STDERR_FILENO ? ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1) : fd;
}

[[noreturn]] void failChild(const ChildSide& side, int error, const char* step = "") {
    ChildReport report{error, {}};
    for (std::size_t i = 0; i + 1 < sizeof(report.step) && step[i] != '\0'; ++i) {
        report.step[i] = step[i];
    }
    while (::write(side.reportFd, &report, sizeof(report)) < 0 && errno == EINTR) {
    }
    ::_exit(kLaunchFailedExit);
}

void closeAllAbove(int first, int last) {
    if (first > last) {
        return;
    }
    if (::close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) {
        return;
    }
    rlimit limit{};  // kernels before 5.9: one by one, up to the descriptor limit
    const int top = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                        ? static_cast<int>(limit.rlim_cur)
                        : 65536;
    for (int fd = first; fd <= last && fd < top; ++fd) {
        ::close(fd);
    }
}

// The child's side, from fork to exec. The order matters: a session of its own first, which
// also makes it its group's leader, so that a kill of the group from the service can never miss
// what it starts, and which leaves the service's controlling terminal behind (nothing it runs can
// push input into the shell that started a foreground service); then the parent-death signal,
// and the check that the parent did not die before it was set. The change of account comes once
// the service has let the child go, and sets the parent-death signal again: the kernel clears it
// on a change of credentials.
[[noreturn]] void runChildSide(const ChildSide& side) noexcept {
    if (::setsid() < 0) {
        ::_exit(kLaunchFailedExit);  // cannot happen after a fork: the child leads no group yet
    }
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != side.parent) {
        ::_exit(kParentGoneExit);
    }

    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaults {};
    defaults.sa_handler = SIG_DFL;
    for (int signal = 1; signal < NSIG; ++signal) {
        ::sigaction(signal, &defaults, nullptr);  // fails harmlessly for SIGKILL and the like
    }

    char go = 0;
    ssize_t got = 0;
    do {
        got = ::read(side.goFd, &go, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1) {
        ::_exit(kParentGoneExit);  // the service died, or gave up on the child, first
    }

    const int devNull = aboveStandardStreams(::open("/dev/null", O_RDWR | O_CLOEXEC));
    const int input = side.inputFd >= 0 ? aboveStandardStreams(side.inputFd) : devNull;
    const int output = side.outputFd >= 0 ? aboveStandardStreams(side.outputFd) : devNull;
    if (devNull < 0 || input < 0 || output < 0 || ::dup2(input, STDIN_FILENO) < 0 ||
        (side.outputFd != kServiceStreams &&
         (::dup2(output, STDOUT_FILENO) < 0 || ::dup2(output, STDERR_FILENO) < 0))) {
        failChild(side, errno);
    }
    // Everything else goes, whether or not its owner remembered close-on-exec; the report pipe
    // stays until exec closes it.
    closeAllAbove(STDERR_FILENO + 1, side.reportFd - 1);
    closeAllAbove(side.reportFd + 1, ~0U >> 1U);

    // Before the change of account: the child may then lower the limit but never raise it.
    const rlimit fileSize{kChildFileSizeLimit, kChildFileSizeLimit};
    if (side.limitFileSize && ::setrlimit(RLIMIT_FSIZE, &fileSize) != 0) {
        failChild(side, errno);
    }
    if (side.account != nullptr) {
        const char* step = "";
        if (const int error = enterChildConfinement(step); error != 0) {
            failChild(side, error, step);
        }
        if (const int error = becomeChildAccount(*side.account, step); error != 0) {
            failChild(side, error, step);
        }
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != side.parent) {
            ::_exit(kParentGoneExit);
        }
    }
    // With the child's own rights: a directory its account cannot enter fails here.
    if (side.directory != nullptr && ::chdir(side.directory) != 0) {
        failChild(side, errno);
    }
    const int error = startFirstFound(side.candidates, [&side](const char* path) {
        ::execve(path, side.argv, side.environment);
        return errno;
    });
    failChild(side, error);
}

// A close-on-exec pipe whose two ends both lie above the standard streams.
bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        return false;
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    for (UniqueFd* end : {&readEnd, &writeEnd}) {
        if (end->get() <= STDERR_FILENO) {
            end->reset(::fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
        }
    }
    return readEnd.valid() && writeEnd.valid();
}

}  // namespace

ChildProcess spawnChild(const ChildSpawnPlan& plan, const std::function<void(pid_t)>& beforeRun,
                        ChildSpawnError& failure) {
    failure = {};
    std::vector<char*> argv;
    argv.reserve(plan.argv.size() + 1);
    for (const std::string& argument : plan.argv) {
        argv.push_back(const_cast<char*>(argument.c_str()));  // NOLINT: exec's signature
    }
    argv.push_back(nullptr);
    const ProgramCandidates candidates(plan.program);

    UniqueFd goRead;
    UniqueFd goWrite;
    UniqueFd reportRead;
    UniqueFd reportWrite;
    if (!makePipe(goRead, goWrite) || !makePipe(reportRead, reportWrite)) {
        failure.error = errno != 0 ? errno : EMFILE;
        return ChildProcess{};
    }
    const ChildSide side{
        argv.data(),        environ,
        candidates.get(),   plan.directory.empty() ? nullptr : plan.directory.c_str(),
        plan.inputFd,       plan.outputFd,
        plan.limitFileSize, plan.account ? &*plan.account : nullptr,
        goRead.get(),       reportWrite.get(),
        ::getpid()};

    const pid_t pid = ::fork();
    if (pid < 0) {
        failure.error = errno;
        return ChildProcess{};
    }
    if (pid == 0) {
        runChildSide(side);
    }
    // No setpgid from here: the child's setsid would then fail. Until the child has its group,
    // ending it kills the child alone, which has started nothing yet.
    ChildProcess child(pid);
    goRead.reset();
    reportWrite.reset();

    if (beforeRun) {
        beforeRun(pid);
    }
    while (::write(goWrite.get(), "g", 1) < 0 && errno == EINTR) {
    }
    goWrite.reset();

    // Complete once exec or the child's exit closes the pipe. Between its change of account and
    // its exec the child can be stopped by anything of that account (a running core, say), which
    // would hold the pipe open for good: the wait is bounded, and a child that outlasts it is
    // killed (SIGKILL ends a stopped process too).
    std::string reply;
    const auto started = MonotonicClock::now();
    for (;;) {
        pollfd ready{reportRead.get(), POLLIN, 0};
        const auto left = kExecWaitMilliseconds - elapsedMilliseconds(started);
        const int polled = left > 0 ? ::poll(&ready, 1, static_cast<int>(left)) : 0;
        if (polled == 0) {
            failure.error = ETIMEDOUT;
            return ChildProcess{};  // `child` kills and reaps it on the way out
        }
        char piece[sizeof(ChildReport)];
        const ssize_t count = polled < 0 ? -1 : ::read(reportRead.get(), piece, sizeof(piece));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0 || reply.size() >= sizeof(ChildReport)) {
            break;
        }
        reply.append(piece, static_cast<std::size_t>(count));
    }
    if (reply.empty()) {
        return child;  // exec closed the pipe: the program runs
    }
    ChildReport report{};  // a partial report reads as EIO
    if (reply.size() == sizeof(report)) {
        std::memcpy(&report, reply.data(), sizeof(report));
        report.step[sizeof(report.step) - 1] = '\0';
        failure.step = report.step;
    }
    failure.error = report.error != 0 ? report.error : EIO;
    child.terminate();  // it is on its way out already; this reaps it
    return ChildProcess{};
}

}  // namespace halvern
