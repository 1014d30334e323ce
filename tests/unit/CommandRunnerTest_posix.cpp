#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <stdexcept>
#include <string>

#include "common/MonotonicClock.h"
#include "network/CommandRunner.h"
#include "support/TestSupport.h"

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

// The state letter of a process in /proc ('S' when sleeping, 'Z' for a zombie), 0 when gone.
char processState(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    return std::getline(file, line) ? line[line.rfind(')') + 2] : '\0';
}

TEST(CommandRunnerPosix, ExitCodesAndLaunchFailures) {
    EXPECT_EQ(runAndCatch({"sh", "-c", "exit 1"}), "Command failed with exit code 1: sh -c exit 1");
    EXPECT_NO_THROW(runCommand({"sh", "-c", "exit 1"}, true));
    // A death by signal reads as 128 + the signal, like in a shell.
    EXPECT_EQ(runAndCatch({"sh", "-c", "kill -SEGV $$"}),
              "Command failed with exit code 139: sh -c kill -SEGV $$");
    EXPECT_EQ(runAndCatch({"halvern-no-such-tool", "route", "add"}),
              "Failed to launch command (error 2): halvern-no-such-tool route add");
    EXPECT_NO_THROW(runCommand({"halvern-no-such-tool"}, true));
}

TEST(CommandRunnerPosix, ChildIsHiddenAndInheritsNothing) {
    const testing::ScopedTempDirectory directory;
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
    runCommand({"sh", "-c",
                "set -- /proc/$$/fd/*; count=$#; links=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 "
                "/proc/$$/fd/2); blocked=$(grep SigBlk /proc/$$/status); printf '%s\\n%s\\n%s\\n' "
                "\"$count\" \"$links\" \"$blocked\" > '" +
                    report + "'"},
               false);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(leaked);
    EXPECT_EQ(testing::readFileBytes(report),
              "4\n/dev/null\n/dev/null\n/dev/null\nSigBlk:\t0000000000000000\n");
}

TEST(CommandRunnerPosix, SlowCommandCountsAsStillRunningAndIsEndedWithWhatItStarted) {
    const testing::ScopedTempDirectory directory;
    const std::string pidFile = (directory.path() / "pid").string();
    const std::string script = "sleep 30 & echo $! > '" + pidFile + "'; wait";
    const auto start = MonotonicClock::now();
    EXPECT_EQ(runAndCatch({"sh", "-c", script}),
              "Command failed with exit code 259: sh -c " + script);
    const std::int64_t waited = elapsedMilliseconds(start);
    EXPECT_GE(waited, 5000);
    EXPECT_LT(waited, 7000);

    pid_t grandchild = 0;
    std::ifstream(pidFile) >> grandchild;
    ASSERT_GT(grandchild, 1);
    // What the shell started died with it, and is at most a zombie until init collects it.
    const auto dead = [grandchild] {
        const char state = processState(grandchild);
        return state == '\0' || state == 'Z';
    };
    for (const auto wait = MonotonicClock::now(); !dead() && elapsedMilliseconds(wait) < 2000;) {
        sleepMilliseconds(10);
    }
    EXPECT_TRUE(dead()) << processState(grandchild);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a command was left unreaped";
}

}  // namespace
}  // namespace halvern
