#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <utility>

#include "common/ChildProcess.h"
#include "common/ChildProcess_posix.h"
#include "common/MonotonicClock.h"
#include "common/ProcessIdentity.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

// A child in this test's process group that ends with `code` at once, or with -1 waits for a kill.
pid_t forkChild(int code) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (code < 0) {
            ::pause();
        }
        ::_exit(code);
    }
    return pid;
}

// One let go while it runs is reaped once ended (a recorded process, ended by itself: it leads no
// group); one reaped behind its owner's back may be someone else's by now: no kill, no wait.
TEST(ChildProcess, ItsEndIsSeenOnceAndOneLetGoOrReapedElsewhereIsNeverWaitedFor) {
    ChildProcess first(forkChild(7));
    ASSERT_EQ(first.waitForExit(60000), 7U);
    ChildProcess second;
    second = std::move(first);
    ChildProcess third(std::move(second));
    EXPECT_EQ(third.exitCodeIfExited(), 7U);
    const auto pid = static_cast<std::uint32_t>(forkChild(-1));
    ChildProcess(static_cast<pid_t>(pid)).detach();
    reapEndedChildren();  // it still runs: kept
    EXPECT_EQ(endRecordedProcess(pid, processStartMark(pid)), RecordedProcessOutcome::ended);
    siginfo_t info{};
    ASSERT_TRUE(testing::eventually([&] {
        reapEndedChildren();
        return ::waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT) < 0;
    }));
    ChildProcess lost(static_cast<pid_t>(pid));
    const auto start = MonotonicClock::now();
    lost.terminate(60000);
    EXPECT_LT(elapsedMilliseconds(start), 30000);
}

}  // namespace
}  // namespace halvern
