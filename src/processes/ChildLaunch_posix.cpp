#include <cerrno>
#include <stdexcept>

#include "common/ErrorText.h"
#include "processes/ChildAccount.h"
#include "processes/ChildLaunch.h"
#include "processes/ChildSpawn.h"

namespace halvern {
namespace {

// The children's /tmp and /dev/shm are private, empty mounts of their own (see ChildAccount.h):
// a program there is out of their sight, which the error code alone does not say.
bool hiddenFromChildren(const std::string& path) {
    return path.starts_with("/tmp/") || path.starts_with("/dev/shm/");
}

}  // namespace

std::string executableFileName(const std::string& baseName) {
    return baseName;
}

JournalledChild launchHidden(const ChildCommand& command, const std::string& exePath,
                             const ChildLog& logFile, const std::string& exeName,
                             JournalRecorder* journal, ChildRights rights) {
    // stdin reads nothing; stdout and stderr share the log, and so one file position, as on
    // Windows. Without a log they go to /dev/null: the service's own stderr carries only its
    // trace lines.
    ChildSpawnPlan plan;
    plan.argv = command.argv;
    plan.program = exePath;
    plan.outputFd = logFile.valid() ? logFile.get() : -1;
    plan.account = childAccount();
    if (plan.account && rights == ChildRights::networkAdmin) {
        plan.account->keepNetworkAdmin = true;
    }
    // A bare name (nothing found beside the service) is looked up through PATH and runs in the
    // service's own working directory. A path runs in its own directory; it is made absolute
    // first, since a relative one would otherwise be resolved from the new directory.
    const std::filesystem::path exe{exePath};
    if (exe.has_parent_path()) {
        std::error_code error;
        std::filesystem::path absolute = std::filesystem::absolute(exe, error);
        if (error) {
            absolute = exe;
        }
        plan.program = absolute.string();
        plan.directory = absolute.parent_path().string();
    }

    JournalledChild child;
    ChildSpawnError failure;
    child.process = spawnChild(
        plan, [&](pid_t pid) { journalChild(child, journal, static_cast<std::uint32_t>(pid)); },
        failure);
    if (!child.valid()) {
        std::string message = "Failed to start " + exeName + errorCodeSuffix(failure.error);
        if (!failure.step.empty()) {
            message +=
                ": cannot run it as user " + plan.account->name + " (" + failure.step + " failed)";
        }
        if (plan.account && hiddenFromChildren(plan.program)) {
            message +=
                ": " + plan.program + " lies in /tmp or /dev/shm, which its children see empty";
        }
        throw std::runtime_error(message);
    }
    return child;
}

std::optional<std::size_t> endLeftoverChildren() noexcept {
    try {
        const auto account = childAccount();
        return account ? std::optional<std::size_t>(endEveryProcessOf(*account)) : std::nullopt;
    } catch (...) {  // no account: nothing can run under it
        return std::nullopt;
    }
}

void refuseChildJobsForTesting(bool /*refuse*/) noexcept {}

}  // namespace halvern
