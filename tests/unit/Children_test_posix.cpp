#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <utility>

#include "common/ChildProcess.h"
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

TEST(ChildProcess, AnEndedChildsStatusMovesWithItsOwnerAndOneReapedElsewhereIsLetGoAtOnce) {
    ChildProcess first(forkChild(7));
    ASSERT_EQ(first.waitForExit(60000), 7U);
    ChildProcess second;
    second = std::move(first);
    ChildProcess third(std::move(second));
    EXPECT_EQ(third.exitCodeIfExited(), 7U);
    // Reaped behind the owner's back, the number may already be someone else's: no kill, no wait.
    const pid_t pid = forkChild(0);
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    ChildProcess lost(pid);
    const auto start = MonotonicClock::now();
    lost.terminate(60000);
    EXPECT_LT(elapsedMilliseconds(start), 30000);
}

TEST(RecordedProcess, OneOutsideAGroupOfItsOwnIsEndedByItself) {
    const auto pid = static_cast<std::uint32_t>(forkChild(-1));
    const ChildProcess owner(static_cast<pid_t>(pid));
    EXPECT_EQ(endRecordedProcess(pid, processStartMark(pid)), RecordedProcessOutcome::ended);
    EXPECT_TRUE(testing::processHasEnded(pid));
}

}  // namespace
}  // namespace halvern
