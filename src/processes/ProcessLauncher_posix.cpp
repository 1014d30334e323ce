#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "common/ErrorText.h"
#include "common/ServiceDirectories.h"
#include "common/WholeFile.h"
#include "processes/ChildAccount.h"
#include "processes/ChildSpawn.h"
#include "processes/ProcessLauncher.h"

namespace halvern {
namespace {

constexpr mode_t kLogMode = 0640;
constexpr mode_t kConfigMode = 0640;

// Opens a file of ours in the runtime directory for writing, emptied, with exactly `mode`
// whatever the umask or an earlier file said. O_NOFOLLOW: a symlink planted there fails the
// open instead of redirecting the write.
int openPrivateForWriting(const std::string& path, mode_t mode, int extraFlags = O_TRUNC) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | extraFlags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        ::fchmod(fd, mode);
    }
    return fd;
}

// The children's /tmp and /dev/shm are private, empty mounts of their own (see ChildAccount.h):
// a program there is out of their sight, which the error code alone does not say.
bool hiddenFromChildren(const std::string& path) {
    return path.starts_with("/tmp/") || path.starts_with("/dev/shm/");
}

}  // namespace

std::string executableFileName(const std::string& baseName) {
    return baseName;
}

std::filesystem::path tempFilePath(std::string_view fileName) {
    return runtimeDirectory() / fileName;
}

ChildLog createChildLog(std::string_view fileName) {
    try {
        return ChildLog{openPrivateForWriting(tempFilePath(fileName).string(), kLogMode)};
    } catch (...) {
        return ChildLog{};
    }
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

std::string readLogTail(std::string_view fileName, std::size_t maxBytes) noexcept {
    try {
        const std::string path = tempFilePath(fileName).string();
        const UniqueFd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
        struct stat info {};
        if (!file.valid() || ::fstat(file.get(), &info) != 0 || info.st_size < 0) {
            return {};
        }
        const auto size = static_cast<std::uint64_t>(info.st_size);
        const std::size_t count = size < maxBytes ? static_cast<std::size_t>(size) : maxBytes;
        if (count != 0 && size > count &&
            ::lseek(file.get(), static_cast<off_t>(size - count), SEEK_SET) < 0) {
            return {};
        }
        // The child may still be writing: what came after the size was taken is cut off again.
        std::string tail;
        readWholeFile(file.get(), count, tail);
        tail.resize(std::min(tail.size(), count));
        return tail;
    } catch (...) {
        return {};
    }
}

ChildLog writeConfigFile(const std::string& path, const std::string& text, std::uint32_t& error) {
    // The proxy core reads it through its group, and nobody else may: it holds the client's
    // credentials. It stays root's, so that a core can never rewrite what the next session
    // reads. A new file each time: an earlier one may be a core's own (older versions handed it
    // over) or be held open by one. The group is set on the open descriptor, so no path can be
    // swapped in between. A missing account fails the connect here, before any file exists.
    const auto account = childAccount();
    ::unlink(path.c_str());
    ChildLog file{openPrivateForWriting(path, kConfigMode, O_EXCL)};
    if (!file.valid() ||
        (account && ::fchown(file.get(), static_cast<uid_t>(-1), account->gid) != 0)) {
        error = static_cast<std::uint32_t>(errno);
        return {};
    }
    // As with a stream, a failed write after a successful open goes unnoticed; the proxy core
    // reports the damaged configuration itself.
    writeWholeFile(file.get(), text);
    return file;
}

bool deleteConfigFile(ChildLog& file, const std::string& path) noexcept {
    file.reset();
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

void deleteFileQuietly(const std::string& path) noexcept {
    ::unlink(path.c_str());
}

void refuseChildJobsForTesting(bool /*refuse*/) noexcept {}

void useSessionFolderForTesting(const std::filesystem::path& /*folder*/) {}

}  // namespace halvern
