#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "common/MonotonicClock.h"
#include "unit/CommandRunnerFixture.h"

namespace halvern::testing {

const std::uint32_t CommandRunnerTest::kCrashCode = 139;  // 128 + SIGSEGV, as a shell has it

void CommandRunnerTest::SetUp() {}
void CommandRunnerTest::TearDown() {}

CommandLine CommandRunnerTest::exitingWith(std::uint32_t code) {
    return {"sh", "-c",
            code > 128 ? "kill -" + std::to_string(code - 128) + " $$"
                       : "exit " + std::to_string(code)};
}

CommandLine CommandRunnerTest::sleeping() {
    return {"sh", "-c",
            "sleep 30 & echo $! > '" + (directory_.path() / "pid").string() + "'; wait"};
}

void CommandRunnerTest::expectHiddenAndInheritingNothing() {
    const std::string report = (directory_.path() / "report").string();
    // A descriptor that its owner forgot to mark close-on-exec must not reach the child either.
    const int leaked = open("/dev/null", O_RDONLY);
    ASSERT_GE(leaked, 0);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigset_t previous;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &blocked, &previous), 0);
    const auto disposition = signal(SIGUSR2, SIG_IGN);
    // Everything is read before the shell redirects anything (dash redirects in its own
    // process). The glob lists the shell's descriptors plus the one it reads the directory with.
    runCommand({"sh", "-c",
                "set -- /proc/$$/fd/*; count=$#; links=$(readlink /proc/$$/fd/0 /proc/$$/fd/1 "
                "/proc/$$/fd/2); signals=$(grep -E 'SigBlk|SigIgn' /proc/$$/status); printf "
                "'%s\\n%s\\n%s\\n' \"$count\" \"$links\" \"$signals\" > '" +
                    report + "'"},
               false);
    static_cast<void>(signal(SIGUSR2, disposition));
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    close(leaked);
    const std::string text = readFileBytes(report);
    EXPECT_EQ(text.substr(0, text.find("SigIgn")),
              "4\n/dev/null\n/dev/null\n/dev/null\nSigBlk:\t0000000000000000\n");
    // glibc's own real-time signals may show as ignored; what we ignore must not.
    const auto ignored = std::stoull(text.substr(text.find("SigIgn:\t") + 8), nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGUSR2 - 1)), 0U) << text;
}

void CommandRunnerTest::expectSlowCommandDealtWith() {
    pid_t grandchild = 0;
    std::ifstream(directory_.path() / "pid") >> grandchild;
    ASSERT_GT(grandchild, 1);
    // What the shell started died with it, and is at most a zombie until init collects it.
    const auto state = [grandchild] {
        std::ifstream file("/proc/" + std::to_string(grandchild) + "/stat");
        std::string line;
        return std::getline(file, line) ? line[line.rfind(')') + 2] : 'X';
    };
    const auto dead = [&state] { return state() == 'X' || state() == 'Z'; };
    for (const auto start = MonotonicClock::now(); !dead() && elapsedMilliseconds(start) < 2000;) {
        sleepMilliseconds(10);
    }
    EXPECT_TRUE(dead()) << state();
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a command was left unreaped";
}

}  // namespace halvern::testing
