#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/ChildProcess.h"
#include "common/JournalRecorder.h"

#ifdef _WIN32
#include "common/WinHandle.h"
#else
#include "common/UniqueFd.h"
#endif

// The routines the child records (ProxyCoreProcess, TunnelBridgeProcess) start, watch and stop
// their children with, and the files those children use. Free functions, not a launcher object:
// none of them keeps state, and the handles live in the record that called them.
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

// The service's handle on a file a child writes: its log, or the proxy configuration.
#ifdef _WIN32
using ChildLog = UniqueFileHandle;  // INVALID_HANDLE_VALUE when there is none
#else
using ChildLog = UniqueFd;  // -1 when there is none
#endif

// The executable's file name as this platform spells it: "xray" becomes "xray.exe" on Windows.
// Messages that name a child use it.
std::string executableFileName(const std::string& baseName);

// Path of `fileName` in the folder of the session's files, which is read afresh on every call:
// the runtime directory on POSIX; on Windows a folder no user can create files in (see
// SessionFolder_win.h).
std::filesystem::path tempFilePath(std::string_view fileName);

// Creates the child's log anew in that folder, at a connect; a child started again later in the
// same session writes on through the handle its record keeps, after what is there. On POSIX a
// log that cannot be made gives no handle, and the child starts without captured output. On
// Windows a stale file that cannot be removed, or a folder that is not the service's own,
// throws "Failed to create PATH (error N)": no byte of the session may reach a file someone
// else made.
ChildLog createChildLog(std::string_view fileName);

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

// At most the last `maxBytes` bytes of the log in the temporary directory, untouched; empty
// when the log cannot be read. Never throws.
std::string readLogTail(std::string_view fileName, std::size_t maxBytes) noexcept;

// prefix + number, then " | output: " + tail when the tail is not empty. Exit codes are passed
// as their unsigned 32-bit value, a port as it is.
std::string exitMessage(const std::string& prefix, std::int64_t number, const std::string& tail);

// Writes the proxy configuration to a file made anew (Windows: in text mode, readable by SYSTEM
// and the administrators alone; POSIX: byte for byte, readable by the core's account and the
// service), never through a link. Returns the handle it was written through, which the caller
// keeps until deleteConfigFile; no handle when the file could not be made, with `error` set.
ChildLog writeConfigFile(const std::string& path, const std::string& text, std::uint32_t& error);

// Deletes the configuration written through `file` (Windows: by that handle, whatever name
// it has now) and closes it. True when it is gone, so that its journal entry may go too.
bool deleteConfigFile(ChildLog& file, const std::string& path) noexcept;

// Deletes a file; the outcome is not reported.
void deleteFileQuietly(const std::string& path) noexcept;

// Test seam: while not empty, the folder of the session's files on Windows is `folder` instead of
// the system's, checked like it (POSIX takes $RUNTIME_DIRECTORY, which tests set). The service
// never sets it.
void useSessionFolderForTesting(const std::filesystem::path& folder);

// Test seam: while set, every launch on Windows acts as though the system refused the child's
// job (AssignProcessToJobObject failing with ERROR_ACCESS_DENIED); POSIX has no jobs. The
// service never sets it.
void refuseChildJobsForTesting(bool refuse) noexcept;

}  // namespace halvern
