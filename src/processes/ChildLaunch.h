#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "common/JournalRecorder.h"
#include "processes/SessionFiles.h"

// How the child records (ProxyCoreProcess, TunnelBridgeProcess) start their children. Free
// functions, not a launcher object: none of them keeps state, and the handles live in the record
// that called them.
namespace halvern {

// One child of a session's record: the system's owner of it and, while the child may run, its
// entry in the session's crash journal. reset() and the destructor end the child with everything
// it started, waiting a bounded time for the child, and only then drop the entry.
class JournalledChild {
  public:
    JournalledChild() noexcept = default;
    ~JournalledChild() { reset(); }
    JournalledChild(JournalledChild&& other) noexcept;
    JournalledChild& operator=(JournalledChild&& other) noexcept;
    JournalledChild(const JournalledChild&) = delete;
    JournalledChild& operator=(const JournalledChild&) = delete;

    bool valid() const noexcept { return process.valid(); }
    void reset() noexcept;

    ChildProcess process;
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

// The executable's file name as this platform spells it: "xray" becomes "xray.exe" on Windows.
// Messages that name a child use it.
std::string executableFileName(const std::string& baseName);

// Starts the child hidden, its standard output and standard error in `logFile` when that is
// valid, its working directory the directory of `exePath`. Throws "Failed to start " + exeName
// + " (error N)" when the process cannot be created.
//
// The child dies with the service and takes what it starts along: on Windows through a job
// object it joins before it runs, on Linux through its own process group and the parent-death
// signal (see ChildSpawn.h). With a `journal`, the child is recorded there before it runs. A
// Linux child that cannot take on its account adds the failed step to that message.
JournalledChild launchHidden(const ChildCommand& command, const std::string& exePath,
                             const ChildLog& logFile, const std::string& exeName,
                             JournalRecorder* journal = nullptr,
                             ChildRights rights = ChildRights::none);

// Records the child `pid` in `journal` (when there is one) as a "child" entry, and in `child`
// for the removal. For the platform files' launch.
void journalChild(JournalledChild& child, JournalRecorder* journal, std::uint32_t pid);

// Ends whatever still runs under the children's account once both children are stopped: on
// Linux every process of "halvern-core", also one that left its group and session (see
// ChildAccount.h); nothing where the children run as the service does. On Windows nothing: the
// job object took them all. Returns how many there were, nothing where there is no such account
// (Windows, or a service that does not run as root). Never throws.
std::optional<std::size_t> endLeftoverChildren() noexcept;

// prefix + number, then " | output: " + tail when the tail is not empty. Exit codes are passed
// as their unsigned 32-bit value, a port as it is.
std::string exitMessage(const std::string& prefix, std::int64_t number, const std::string& tail);

// Test seam: while set, every launch on Windows acts as though the system refused the child's
// job (AssignProcessToJobObject failing with ERROR_ACCESS_DENIED); POSIX has no jobs. The
// service never sets it.
void refuseChildJobsForTesting(bool refuse) noexcept;

}  // namespace halvern
