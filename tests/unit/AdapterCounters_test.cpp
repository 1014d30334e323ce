#include "processes/AdapterCounters.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "unit/LoopbackTraffic.h"

namespace halvern {
namespace {

// The loopback interface exists everywhere these tests run and its counters are real. Under
// Wine the adapter list shows the Linux interfaces under their Linux names, so it is "lo" on
// both legs (on Windows itself loopback is neither named so nor counted).
constexpr const char* kLoopback = "lo";

TEST(AdapterCounters, CountersOfTheNamedAdapterGrowWithItsTraffic) {
    const TrafficStats before = adapterTrafficStats(kLoopback);
    ASSERT_GT(before.txBytes + before.rxBytes, 0U) << "loopback counters should be readable";
    constexpr std::size_t kBytes = 256 * 1024;
    ASSERT_EQ(sendLoopbackDatagrams(kBytes), kBytes);
    const TrafficStats after = adapterTrafficStats(kLoopback);
    // Other processes may use loopback too; they can only add to the counters.
    EXPECT_GE(after.txBytes - before.txBytes, kBytes);
    EXPECT_GE(after.rxBytes - before.rxBytes, kBytes);
}

TEST(AdapterCounters, OnlyTheExactNameMatches) {
    for (const std::string name :
         {"", "l", "LO", "Lo", "lo ", " lo", "lo0", "Halvern_Tun_0", "../lo", "lo/..", ".", ".."}) {
        SCOPED_TRACE(name);
        const TrafficStats stats = adapterTrafficStats(name);
        EXPECT_EQ(stats.txBytes, 0U);
        EXPECT_EQ(stats.rxBytes, 0U);
    }
}

}  // namespace
}  // namespace halvern
