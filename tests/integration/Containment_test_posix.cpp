// What a hostile core can do on Linux, as root with the real account "halvern-core": it must not
// outlive the sweep however it hides, nor keep anything it left in /tmp or IPC, nor reach a
// terminal, nor rewrite its configuration.
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "common/UniqueFd.h"
#include "processes/ChildAccount.h"
#include "processes/ChildSpawn.h"
#include "processes/ProcessLauncher.h"
#include "support/TestSupport.h"

namespace halvern::testing {
namespace {

std::optional<ChildAccount> account() {
    try {
        return childAccount(false);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

[[noreturn]] void holdForever() {
    for (;;) {
        ::pause();
    }
}

// Forks a process that takes on `as`, runs `hide` and reports on `report` the pid that stays.
template <typename Hide>
pid_t forkHidden(const ChildAccount& as, int report, Hide hide) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::setgroups(1, &as.gid) != 0 || ::setresgid(as.gid, as.gid, as.gid) != 0 ||
            ::setresuid(as.uid, as.uid, as.uid) != 0) {
            ::_exit(1);
        }
        hide(report);
        ::_exit(0);
    }
    return pid;
}

void reportOwnPid(int report) {
    const pid_t self = ::getpid();
    static_cast<void>(::write(report, &self, sizeof(self)));
}

// The two ways out of a process group that the sweep must see through: a double fork into a
// session of its own, and a leader thread that exits while another one runs on (/proc then
// shows the leader as a zombie).
void doubleForkIntoASession(int report) {
    if (::fork() == 0) {
        ::setsid();
        if (::fork() == 0) {
            reportOwnPid(report);
            holdForever();
        }
    }
}

void leaveAThreadBehind(int report) {
    ::setsid();
    reportOwnPid(report);
    pthread_t thread{};
    ::pthread_create(
        &thread, nullptr, [](void*) -> void* { holdForever(); }, nullptr);
    ::pthread_exit(nullptr);
}

TEST(Containment, TheSweepEndsEveryProcessOfTheAccountHoweverItHid) {
    const std::optional<ChildAccount> core = account();
    if (!core) {
        GTEST_SKIP() << "needs root and the account halvern-core";
    }
    const ChildAccount stranger{"nobody", 65534, 65534, false};
    int pipeEnds[2] = {-1, -1};
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
    const UniqueFd reports(pipeEnds[0]);
    const UniqueFd report(pipeEnds[1]);
    const pid_t bystander = forkHidden(stranger, report.get(), doubleForkIntoASession);
    pid_t strangers = 0;
    ASSERT_EQ(::read(reports.get(), &strangers, sizeof(strangers)), sizeof(strangers));
    for (void (*hide)(int) : {leaveAThreadBehind, doubleForkIntoASession}) {
        const pid_t forked = forkHidden(*core, report.get(), hide);
        pid_t hidden = 0;
        ASSERT_EQ(::read(reports.get(), &hidden, sizeof(hidden)), sizeof(hidden));
        // The sweep's first round signals before it counts: the zombie leader is found alive.
        EXPECT_GE(endEveryProcessOf(*core), 1U);
        EXPECT_TRUE(processHasEnded(static_cast<std::uint32_t>(hidden))) << hidden;
        EXPECT_TRUE(eventually([&] { return ::waitpid(forked, nullptr, WNOHANG) == forked; }));
        EXPECT_EQ(endEveryProcessOf(*core), 0U);
    }
    EXPECT_FALSE(processHasEnded(static_cast<std::uint32_t>(strangers)))
        << "another account's process was signalled";
    ::kill(strangers, SIGKILL);
    ::waitpid(bystander, nullptr, 0);
}

// Run from a process whose controlling terminal is a pseudo-terminal, as a service started from
// a shell has one: the child must not reach it, nor share /tmp, /dev/shm or IPC with the service,
// nor fork past its limit, nor write its configuration.
TEST(Containment, AChildHasNoTerminalAndPrivateTmpAndIpcAndCannotWriteItsConfiguration) {
    const std::optional<ChildAccount> core = account();
    if (!core) {
        GTEST_SKIP() << "needs root and the account halvern-core";
    }
    const ScopedTempDirectory place;
    std::filesystem::permissions(place.path(), std::filesystem::perms(0755));
    const std::string config = (place.path() / "config.json").string();
    ASSERT_TRUE(writeConfigFile(config, "{}"));
    const std::string output = (place.path() / "output").string();
    const std::string left = "/tmp/halvern-left-" + std::to_string(::getpid());
    const std::string script =
        "exec 2>&1; echo session $(($(cut -d' ' -f6 /proc/self/stat) - $$));"
        "true </dev/tty; echo $(ls -A /tmp /dev/shm); touch " +
        left +
        "; readlink /proc/self/ns/ipc; awk '/^Max processes/ {print $4}' /proc/self/limits; cat " +
        config + "; echo x >>" + config;
    const pid_t helper = ::fork();
    if (helper == 0) {
        const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (::setsid() < 0 || terminal < 0 || ::grantpt(terminal) != 0 ||
            ::unlockpt(terminal) != 0 || ::open(::ptsname(terminal), O_RDWR) < 0 ||
            ::open("/dev/tty", O_RDWR) < 0) {
            ::_exit(2);
        }
        const UniqueFd log(::open(output.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
        ChildSpawnError failure;
        ChildProcess child =
            spawnChild({{"sh", "-c", script}, "/bin/sh", {}, log.get(), core}, nullptr, failure);
        while (child.valid() && !child.waitStatusIfExited()) {
            ::usleep(1000);
        }
        ::_exit(child.valid() ? 0 : 3);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(helper, &status, 0), helper);
    ASSERT_EQ(status, 0);
    const std::string ipc = std::filesystem::read_symlink("/proc/self/ns/ipc").string();
    const std::string got = readFileBytes(output);
    EXPECT_EQ(got.substr(0, got.find(":\n") + 1),
              "session 0\nsh: 1: cannot open /dev/tty: No such device or address\n"
              "/dev/shm: /tmp:")
        << got;
    EXPECT_EQ(got.find(ipc), std::string::npos) << got;
    EXPECT_NE(got.find("\n" + std::to_string(kChildProcessLimit) + "\n{}sh: 1: cannot create " +
                       config + ": Permission denied\n"),
              std::string::npos)
        << got;
    EXPECT_FALSE(std::filesystem::exists(left)) << "the child's /tmp is the service's";
    EXPECT_EQ(readFileBytes(config), "{}");
}

}  // namespace
}  // namespace halvern::testing
