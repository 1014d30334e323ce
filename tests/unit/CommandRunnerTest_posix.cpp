#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/MonotonicClock.h"
#include "network/CommandRunner.h"

namespace halvern {
namespace {

std::string runAndCatch(const CommandLine& command) {
    try {
        runCommand(command, false);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no exception>";
}

class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "halvern-run-XXXXXX");
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The state letter of a process in /proc ('Z' for a zombie), or 0 once it is gone.
char processState(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) {
        return 0;
    }
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

TEST(CommandRunnerPosix, ExitCodesAndLaunchFailures) {
    EXPECT_NO_THROW(runCommand({"true"}, false));
    EXPECT_EQ(runAndCatch({"sh", "-c", "exit 1"}), "Command failed with exit code 1: sh -c exit 1");
    EXPECT_NO_THROW(runCommand({"sh", "-c", "exit 1"}, true));
    EXPECT_EQ(runAndCatch({"sh", "-c", "exit 255"}),
              "Command failed with exit code 255: sh -c exit 255");
    // A death by signal reads as 128 + the signal, like in a shell.
    EXPECT_EQ(runAndCatch({"sh", "-c", "kill -SEGV $$"}),
              "Command failed with exit code 139: sh -c kill -SEGV $$");

    EXPECT_EQ(runAndCatch({"halvern-no-such-tool", "route", "add"}),
              "Failed to launch command (error 2): halvern-no-such-tool route add");
    EXPECT_NO_THROW(runCommand({"halvern-no-such-tool"}, true));
    EXPECT_EQ(runAndCatch({"/proc"}), "Failed to launch command (error 13): /proc");
}

TEST(CommandRunnerPosix, ChildIsHiddenAndInheritsNothing) {
    const TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const std::string report = (directory.path() / "report").string();
    // A descriptor that its owner forgot to mark close-on-exec must not reach the child either.
    const int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigset_t previous;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);

    // Everything is read before the shell redirects anything (dash redirects in its own
    // process). The glob lists the shell's descriptors plus the one it reads the directory with.
    const std::string script =
        "set -- /proc/$$/fd/*; count=$#; links=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 "
        "/proc/$$/fd/2); blocked=$(grep SigBlk /proc/$$/status); printf '%s\\n%s\\n%s\\n' "
        "\"$count\" \"$links\" \"$blocked\" > '" +
        report + "'";
    runCommand({"sh", "-c", script}, false);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(leaked);

    EXPECT_EQ(readFile(report), "4\n/dev/null\n/dev/null\n/dev/null\nSigBlk:\t0000000000000000\n");
}

TEST(CommandRunnerPosix, SlowCommandCountsAsStillRunningAndIsReapedLater) {
    const TemporaryDirectory directory;
    ASSERT_FALSE(directory.path().empty());
    const std::string pidFile = (directory.path() / "pid").string();
    const std::string script = "echo $$ > '" + pidFile + "'; exec sleep 30";

    const auto start = MonotonicClock::now();
    EXPECT_EQ(runAndCatch({"sh", "-c", script}),
              "Command failed with exit code 259: sh -c " + script);
    const std::int64_t waited = elapsedMilliseconds(start);
    EXPECT_GE(waited, 5000);
    EXPECT_LT(waited, 7000);

    const pid_t pid = static_cast<pid_t>(std::stol(readFile(pidFile)));
    ASSERT_GT(pid, 1);
    // Whatever happens below, the sleeper does not outlive the test.
    struct Killer {
        pid_t pid;
        ~Killer() {
            if (pid > 1) {
                kill(pid, SIGKILL);
            }
        }
    } killer{pid};
    EXPECT_EQ(processState(pid), 'S') << "the runner must neither kill nor keep waiting";

    // Once it ends it is our zombie until the next command reaps it.
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    killer.pid = -1;
    const auto killed = MonotonicClock::now();
    while (processState(pid) != 'Z' && elapsedMilliseconds(killed) < 5000) {
        sleepMilliseconds(10);
    }
    ASSERT_EQ(processState(pid), 'Z');
    runCommand({"true"}, false);
    EXPECT_EQ(processState(pid), 0);
}

}  // namespace
}  // namespace halvern
