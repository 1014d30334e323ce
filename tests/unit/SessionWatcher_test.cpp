#include "tunnel/SessionWatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "support/TestSupport.h"

namespace halvern {
namespace {

// A pass acts like a command: never while another command holds the lock, and soon after.
TEST(SessionWatcher, APassWaitsForTheCommandLock) {
    CommandMutex commandLock;
    std::unique_lock held(commandLock);
    std::atomic<int> passes{0};
    SessionWatcher watcher(&commandLock, [&passes](bool) { return ++passes > 0; });
    sleepMilliseconds(std::int64_t{3} * SessionWatcher::kPollMs);
    EXPECT_EQ(passes, 0);
    held.unlock();
    EXPECT_TRUE(testing::eventually([&passes] { return passes > 0; }));
}

}  // namespace
}  // namespace halvern
