#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "common/MonotonicClock.h"

namespace halvern::testing {

// A fresh, empty directory of this test alone, removed with everything in it at the end.
class ScopedTempDirectory {
  public:
    ScopedTempDirectory();
    ~ScopedTempDirectory();
    ScopedTempDirectory(const ScopedTempDirectory&) = delete;
    ScopedTempDirectory& operator=(const ScopedTempDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// Points the service's temporary directory at a fresh one for the object's life.
class ScopedRuntimeDirectory {
  public:
    ScopedRuntimeDirectory();
    ~ScopedRuntimeDirectory();  // not copied: its directory is not
    const std::filesystem::path& path() const { return directory_.path(); }

  private:
    ScopedTempDirectory directory_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// This test's own journal place, removed at the end: a fresh file, or a fresh key's value in HKLM.
class ScopedJournalPlace {  // not copied: its directory is not
  public:
    ScopedJournalPlace();
    ~ScopedJournalPlace();
    const std::filesystem::path& path() const { return path_; }
    bool holdsJournal() const;

  private:
    ScopedTempDirectory directory_;
    std::filesystem::path path_;
};

// Lets every user change the journal at `path`: Linux its file, Windows its key.
void letOthersChangeJournal(const std::filesystem::path& path);

// Windows: from the first call on, keeps what any process writes to the debugger output
// (DBWIN_BUFFER); then how often `text` appeared, once it has or after 15 s. POSIX: 0.
std::size_t debugOutputCount(const std::string& text);

// How often `part` occurs in `text`, overlaps included.
std::size_t occurrences(const std::string& text, const std::string& part);

// POSIX (root): an empty tmpfs on /run, in a mount namespace entered once, before threads.
class ScopedPrivateRunDirectory {
  public:
    ScopedPrivateRunDirectory();
    ~ScopedPrivateRunDirectory();
    ScopedPrivateRunDirectory(const ScopedPrivateRunDirectory&) = delete;
    ScopedPrivateRunDirectory& operator=(const ScopedPrivateRunDirectory&) = delete;
};

// The exit code (POSIX: 128 + the ending signal) of a program run to its end, output to files.
int runProgram(const std::vector<std::string>& arguments, const std::filesystem::path& output,
               const std::filesystem::path& errors);

// The same, its output and errors read back from fresh files.
struct ProgramRun {
    int exitCode = -1;
    std::string output;
    std::string errors;  // both without the CRs of Windows console programs
};
ProgramRun runCaptured(const std::vector<std::string>& arguments);

// This process's children (zombies too), once any beyond `expected` had `settleMs` to leave the
// list (Wine lists one for a moment after its handle was closed).
std::vector<std::uint32_t> childProcessesLeftBehind(std::size_t expected = 0, int settleMs = 3000);

// Ends this process's child named `fileName` as a crash would; its id, or 0 when there is none.
std::uint32_t killChildNamed(const std::string& fileName);

// True when the process has ended, whether or not its parent has reaped it yet.
bool processHasEnded(std::uint32_t pid);

// For its lifetime this thread blocks `signal` and the process ignores it, as a service's threads
// may: a child started meanwhile must still die of it. Nothing on Windows.
struct ScopedSignalShunned {
    explicit ScopedSignalShunned(int signal);
    ~ScopedSignalShunned();
    int number;
};

// Tests branch on kOnWindows where both platforms compile the code, on _WIN32 where one does not.
#ifdef _WIN32
inline constexpr bool kOnWindows = true;
// The process token's integrity level (0x1000: low) and privileges, "+" marking enabled ones.
struct TokenRights {
    std::uint32_t integrity = 0;
    std::vector<std::string> privileges;
    bool restricted = false;  // it has restricting SIDs
    bool operator==(const TokenRights&) const = default;
};
std::optional<TokenRights> processTokenRights(std::uint32_t pid);
bool runningUnderWine();
#else
inline constexpr bool kOnWindows = false;
#endif

// Gives everyone full access to `path` (Windows: Everyone in its list; POSIX: the others' bits).
void letEveryoneChange(const std::filesystem::path& path);

std::string readFileBytes(const std::filesystem::path& path);
void writeFileBytes(const std::filesystem::path& path, const std::string& content);

// "0123456789" repeated to `count` bytes: what the stand-ins' "fill N" step prints.
std::string fillPattern(std::size_t count);

// Polls `holds` until it does or `withinMs` have passed; whether it did.
template <typename Condition>
bool eventually(Condition&& holds, int withinMs = 10000) {
    return waitUntil(std::forward<Condition>(holds), withinMs, 10);
}

// The message of the std::runtime_error that `action` throws, or "<no error>".
template <typename Action>
std::string errorFrom(Action&& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no error>";
}

}  // namespace halvern::testing
