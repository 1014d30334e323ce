#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Helpers for tests that run real child processes: private directories, the service's temporary
// directory pointed at one of them, our stand-in programs, and checks that no child is left.
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

// Points the service's temporary directory (RUNTIME_DIRECTORY on POSIX, TMP and TEMP for
// GetTempPathW on Windows) and so its crash journal (on Windows under ProgramData) at a fresh
// directory for the life of the object, then restores it.
class ScopedRuntimeDirectory {
  public:
    ScopedRuntimeDirectory();
    ~ScopedRuntimeDirectory();
    ScopedRuntimeDirectory(const ScopedRuntimeDirectory&) = delete;
    ScopedRuntimeDirectory& operator=(const ScopedRuntimeDirectory&) = delete;
    const std::filesystem::path& path() const { return directory_.path(); }

  private:
    ScopedTempDirectory directory_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// POSIX: the control socket's path is fixed (/run/halvern), so a test that serves or reaches it
// moves this process into a mount namespace of its own (once, from the thread that runs the
// tests, before it starts others) and gets an empty tmpfs on /run for the object's life. The
// machine's /run is never touched. Needs root. Windows: nothing to do; the pipe name is fixed
// too, and the tests rely on a Wine prefix of their own.
class ScopedPrivateRunDirectory {
  public:
    ScopedPrivateRunDirectory();
    ~ScopedPrivateRunDirectory();
    ScopedPrivateRunDirectory(const ScopedPrivateRunDirectory&) = delete;
    ScopedPrivateRunDirectory& operator=(const ScopedPrivateRunDirectory&) = delete;
};

// The platform's file name of a program: "xray" or "xray.exe".
std::string programFileName(const std::string& stem);

// Copies the stand-in for `stem` ("xray" or "tun2socks") from `fakesDirectory` into `directory`
// under the real program's name, writing `behaviour` beside it as STEM.behaviour when it is not
// empty. Returns the copy's path.
std::filesystem::path installFake(const std::filesystem::path& fakesDirectory,
                                  const std::string& stem, const std::filesystem::path& directory,
                                  const std::string& behaviour = {});

// Ids of the live processes (zombies included) whose parent is this test process.
std::vector<std::uint32_t> childProcessesOfThisProcess();

// The children still there once those already ended have had up to `settleMs` to leave the
// process list. Wine lists a terminated child for a moment after its handle was signalled and
// closed; a child that really was left behind is still there afterwards.
std::vector<std::uint32_t> childProcessesLeftBehind(int settleMs = 3000);

// How many children remain once those already ended have had up to `settleMs` to leave the
// process list (see above), for a test that expects exactly `expected` to be running.
std::size_t childProcessCountSettling(std::size_t expected, int settleMs = 3000);

// Kills the process at once, without any clean-up of its own (SIGKILL, TerminateProcess).
void killProcess(std::uint32_t pid);

// True when no process (not even a zombie) with this id exists any more.
bool processIsGone(std::uint32_t pid);

// True when the process has ended, whether or not its parent has reaped it yet.
bool processHasEnded(std::uint32_t pid);

std::string readFileBytes(const std::filesystem::path& path);
void writeFileBytes(const std::filesystem::path& path, const std::string& content);

// A crash journal's text with its instance line naming a service instance that has ended, as
// the journal of a service that died reads to the next one.
std::string journalOfADeadInstance(std::string text);

// "0123456789" repeated to `count` bytes: what the stand-ins' "fill N" step prints.
std::string fillPattern(std::size_t count);

}  // namespace halvern::testing

// Where halvern_use_fakes() (tests/fakes/CMakeLists.txt) built the stand-ins, for the test
// executable that includes this header.
#ifdef HALVERN_FAKES_RELATIVE_DIR
#include "common/ExecutablePath.h"
namespace halvern::testing {
inline std::filesystem::path fakesDirectory() {
    return executablePath().parent_path() / HALVERN_FAKES_RELATIVE_DIR;
}
}  // namespace halvern::testing
#endif
