// A hostile core as the real "halvern-core": it must not outlive the sweep however it hides, keep
// what it left in /tmp or IPC, reach a terminal or write its configuration.
#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "common/UniqueFd.h"
#include "processes/ChildSpawn.h"
#include "processes/SessionFiles.h"
#include "support/TestSupport.h"

namespace halvern::testing {
namespace {

[[noreturn]] void holdAs(int report) {
    const pid_t self = ::getpid();
    static_cast<void>(::write(report, &self, sizeof(self)));
    for (;;) {
        ::pause();
    }
}

// Out of the group by a double fork into a session, or a leader thread that exits (a zombie).
void doubleForkIntoASession(int report) {
    if (::fork() == 0 && ::setsid() > 0 && ::fork() == 0) {
        holdAs(report);
    }
}

void leaveAThreadBehind(int report) {
    ::setsid();
    static int reportTo = report;
    pthread_t thread{};
    ::pthread_create(
        &thread, nullptr, [](void*) -> void* { holdAs(reportTo); }, nullptr);
    ::syscall(SYS_exit, 0);  // this thread alone, without unwinding into the test's frames
}

class Containment : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string error = errorFrom([&] { core_ = childAccount(); });
        if (!core_) {
            GTEST_SKIP() << "needs root and the account halvern-core: " << error;
        }
    }

    // Forked as `as`, hidden by `hide`; returns the forked pid and reads the one that stays.
    pid_t forkHidden(const ChildAccount& as, void (*hide)(int), pid_t& stays) {
        int ends[2] = {-1, -1};
        EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        const UniqueFd reports(ends[0]);
        UniqueFd report(ends[1]);
        const pid_t pid = ::fork();
        if (pid == 0) {
            if (::setgroups(1, &as.gid) == 0 && ::setresgid(as.gid, as.gid, as.gid) == 0 &&
                ::setresuid(as.uid, as.uid, as.uid) == 0) {
                hide(report.get());
            }
            ::_exit(0);
        }
        report.reset();  // a child that failed ends the read
        EXPECT_EQ(::read(reports.get(), &stays, sizeof(stays)), sizeof(stays));
        return pid;
    }

    std::optional<ChildAccount> core_;
};

TEST_F(Containment, TheSweepEndsEveryProcessOfTheAccountHoweverItHidAndNoOther) {
    pid_t stranger = 0;
    const pid_t bystander = forkHidden({"nobody", 65534, 65534, false}, holdAs, stranger);
    for (void (*hide)(int) : {leaveAThreadBehind, doubleForkIntoASession}) {
        pid_t hidden = 0;
        const pid_t forked = forkHidden(*core_, hide, hidden);
        endEveryProcessOf(*core_);  // which signals before it counts: a zombie leader too
        EXPECT_TRUE(processHasEnded(static_cast<std::uint32_t>(hidden))) << hidden;
        EXPECT_TRUE(eventually([&] { return ::waitpid(forked, nullptr, WNOHANG) == forked; }));
        EXPECT_EQ(endEveryProcessOf(*core_), 0U);
    }
    EXPECT_FALSE(processHasEnded(static_cast<std::uint32_t>(stranger)));
    ::kill(stranger, SIGKILL);
    ::waitpid(bystander, nullptr, 0);
}

// Its own session (so no terminal), no /tmp, /dev/shm or IPC of the service's, its task limit.
TEST_F(Containment, AChildHasNoTerminalNorTheServicesTmpOrIpcAndCannotWriteItsConfiguration) {
    const ScopedTempDirectory place;
    std::filesystem::permissions(place.path(), std::filesystem::perms(0755));
    const std::string config = (place.path() / "config.json").string();
    std::uint32_t error = 0;
    ASSERT_TRUE(writeConfigFile(config, "{}", error).valid());
    const std::string output = (place.path() / "output").string();
    const std::string left = "/tmp/halvern-left-" + std::to_string(::getpid());
    const char* script = R"sh(exec 2>&1; echo session $(($(cut -d' ' -f6 /proc/self/stat) - $$))
true </dev/tty; echo $(ls -A /tmp /dev/shm); awk '/^Max pro/ {print $4}' /proc/self/limits
touch "$2"; [ "$(readlink /proc/self/ns/ipc)" = "$3" ] && echo same ipc; cat "$1"; echo x >>"$1"
)sh";
    const std::string ipc = std::filesystem::read_symlink("/proc/self/ns/ipc").string();
    const UniqueFd log(::open(output.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ChildSpawnError failure;
    ChildProcess child =
        spawnChild({{"sh", "-c", script, "sh", config, left, ipc}, "/bin/sh", {}, log.get(), core_},
                   nullptr, failure);
    ASSERT_TRUE(eventually([&] { return child.exitCodeIfExited().has_value(); }));
    EXPECT_EQ(
        readFileBytes(output),
        "session 0\nsh: 2: cannot open /dev/tty: No such device or address\n/dev/shm: /tmp:\n" +
            std::to_string(kChildProcessLimit) + "\n{}sh: 3: cannot create " + config +
            ": Permission denied\n");
    EXPECT_FALSE(std::filesystem::exists(left)) << "the child's /tmp is the service's";
    EXPECT_EQ(readFileBytes(config), "{}");
}

}  // namespace
}  // namespace halvern::testing
