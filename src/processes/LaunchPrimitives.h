#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The two owners a child-process record keeps: the child itself and the service's own handle on
// the child's log. Only the types differ by platform; the routines below are the same.
#ifdef _WIN32
#include "common/WinHandle.h"
namespace halvern {
// The child's process handle and the job object that holds it and everything it starts. Closing
// the job ends them all (JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE), and the system closes it when the
// service dies, however it dies. No job where the system refused one.
struct OsChildProcess {
    UniqueHandle job;
    UniqueHandle process;  // null when there is no child
    bool valid() const noexcept { return process.valid(); }
    // Ends the child: through its job, or, where it runs without one (the system refused it),
    // by itself, since closing its handle would leave it running, suspended for good if its
    // launch failed before the resume (ProcessLauncher_win.cpp).
    void reset() noexcept;
};
using ChildLogHandle = UniqueFileHandle;  // INVALID_HANDLE_VALUE when there is no log
}  // namespace halvern
#else
#include "common/ChildPid.h"
#include "common/UniqueFd.h"
namespace halvern {
using OsChildProcess = ChildPid;  // the child and its process group; reaped exactly once
using ChildLogHandle = UniqueFd;
}  // namespace halvern
#endif
#include "common/JournalRecorder.h"

namespace halvern {

// One child of a record: the system's owner of it and, while the child may run, its entry in
// the session's crash journal. reset() and the destructor end the child with everything it
// started, and only then drop the entry.
class ChildProcessHandle {
  public:
    ChildProcessHandle() noexcept = default;
    ~ChildProcessHandle() { reset(); }
    ChildProcessHandle(ChildProcessHandle&& other) noexcept;
    ChildProcessHandle& operator=(ChildProcessHandle&& other) noexcept;
    ChildProcessHandle(const ChildProcessHandle&) = delete;
    ChildProcessHandle& operator=(const ChildProcessHandle&) = delete;

    bool valid() const noexcept { return os.valid(); }
    void reset() noexcept;

    OsChildProcess os;
    JournalRecorder* journal = nullptr;  // where `entry` is recorded; none when not journalled
    JournalEntry entry;
};

// What to run, in the two forms the platforms take: the exact command line that Windows' process
// creation parses, and the program with its arguments as an argv vector, which POSIX runs
// without a shell. Records build both so that each form can be checked on either platform.
struct ChildCommand {
    std::string commandLine;
    std::vector<std::string> argv;
};

// What a child may do beyond its account's ordinary rights. On Linux the children never run as
// root (see ChildAccount.h): the bridge keeps CAP_NET_ADMIN alone, to create its TUN device; the
// proxy core keeps nothing. On Windows the proxy core runs on a restricted, low-integrity copy
// of the service's token (see RestrictedToken.h); the bridge keeps the service's token.
enum class ChildRights { none, networkAdmin };

// Routines the child-process records use to start, watch and stop their children. None of
// them keeps state: the handles live in the record that called them.
namespace ProcessLauncher {

// The executable's file name as this platform spells it: "xray" becomes "xray.exe" on Windows.
// Messages that name a child use it.
std::string executableFileName(const std::string& baseName);

// Path of `fileName` in the temporary directory, which is read afresh on every call (the
// runtime directory on POSIX).
std::filesystem::path tempFilePath(const std::string& fileName);

// Creates or empties the child's log in the temporary directory. Returns no handle on failure;
// the child then starts without captured output. Never throws.
ChildLogHandle createChildLog(const std::string& fileName) noexcept;

// Starts the child hidden, its standard output and standard error in `logFile` when that is
// valid, its working directory the directory of `exePath`. Throws "Failed to start " + exeName
// + " (error N)" when the process cannot be created.
//
// The child dies with the service and takes what it starts along: on Windows through a job
// object it joins before it runs, on Linux through its own process group and the parent-death
// signal (see ChildSpawn.h). With a `journal`, the child is recorded there before it runs. A
// Linux child that cannot take on its account adds the failed step to that message.
ChildProcessHandle launchHidden(const ChildCommand& command, const std::string& exePath,
                                const ChildLogHandle& logFile, const std::string& exeName,
                                JournalRecorder* journal = nullptr,
                                ChildRights rights = ChildRights::none);

// Records the child `pid` in `journal` (when there is one) as a "child" entry, and in `child`
// for the removal. For the platform files' launch.
void journalChild(ChildProcessHandle& child, JournalRecorder* journal, std::uint32_t pid);

// Ends whatever still runs under the children's account once both children are stopped: on
// Linux every process of "halvern-core", also one that left its group and session (see
// ChildAccount.h); nothing where the children run as the service does. On Windows nothing: the
// job object took them all. Returns how many there were, nothing where there is no such account
// (Windows, or a service that does not run as root). Never throws.
std::optional<std::size_t> endLeftoverChildren() noexcept;

// The child's exit code once it has ended; nothing while it runs or when the query fails.
std::optional<std::uint32_t> exitCodeIfExited(ChildProcessHandle& process) noexcept;

// At most the last `maxBytes` bytes of the log in the temporary directory, untouched; empty
// when the log cannot be read. Never throws.
std::string readLogTail(const std::string& fileName, std::size_t maxBytes) noexcept;

// prefix + number, then " | output: " + tail when the tail is not empty. Exit codes are passed
// as their unsigned 32-bit value, a port as it is.
std::string exitMessage(const std::string& prefix, std::int64_t number, const std::string& tail);

// Ends the child with everything it started (waiting a bounded time for the child), closes both
// handles, leaving them empty, and drops the child's journal entry. The log file stays on disk.
// Never throws.
void terminateChild(ChildProcessHandle& process, ChildLogHandle& logFile) noexcept;

// Writes the proxy configuration: in text mode on Windows, byte for byte and readable by the
// service alone on POSIX, never through a symlink. False when the file cannot be opened.
bool writeConfigFile(const std::string& path, const std::string& text);

// Deletes a file; the outcome is not reported.
void deleteFileQuietly(const std::string& path) noexcept;

// The operating system's id of the child, 0 when there is none. For diagnostics and tests.
std::uint32_t childProcessId(const ChildProcessHandle& process) noexcept;

// The service's own process id, as the adapter name carries it.
std::uint32_t currentProcessId() noexcept;

// Test seam: while set, every launch on Windows acts as though the system refused the child's
// job (AssignProcessToJobObject failing with ERROR_ACCESS_DENIED); POSIX has no jobs. The
// service never sets it.
void refuseChildJobsForTesting(bool refuse) noexcept;

}  // namespace ProcessLauncher
}  // namespace halvern
