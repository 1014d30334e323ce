// A child's end is read once, by its owner; the status and the knowledge that the number is no
// longer ours to signal move with the owner.
#include "common/ChildPid.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <utility>

#include "common/MonotonicClock.h"

namespace halvern {
namespace {

TEST(ChildPid, AnEndedChildsStatusMovesWithItsOwner) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(7);
    }
    ChildPid first(pid);
    std::optional<int> status = first.waitStatusIfExited();
    for (const auto start = MonotonicClock::now(); !status && elapsedMilliseconds(start) < 5000;) {
        sleepMilliseconds(5);
        status = first.waitStatusIfExited();
    }
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 7);
    ChildPid second;
    second = std::move(first);
    ChildPid third(std::move(second));
    EXPECT_EQ(third.waitStatusIfExited(), status);
}

// Reaped behind the owner's back, the number may already be someone else's: no kill, no wait.
TEST(ChildPid, AChildReapedElsewhereIsLetGoAtOnce) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    ChildPid lost(pid);
    const auto start = MonotonicClock::now();
    lost.reset(60000);
    EXPECT_LT(elapsedMilliseconds(start), 30000);
}

}  // namespace
}  // namespace halvern
