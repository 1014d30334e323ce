#include "processes/AdapterCounters.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>

#include "processes/SocketCalls.h"
#include "support/TestSupport.h"

#ifndef _WIN32
#include <sched.h>
#include <sys/mount.h>
#endif

namespace halvern {
namespace {

// Loopback, with real counters, is "lo" on both legs: Wine lists the Linux interfaces as they are.
TEST(AdapterCounters, CountersOfExactlyTheNamedAdapterGrowWithItsTraffic) {
    const TrafficStats before = adapterTrafficStats("lo");
    for (int attempt = 0; attempt < 20; ++attempt) {
        tryConnectLoopback(9);  // refused or not, packets cross loopback both ways
    }
    const TrafficStats after = adapterTrafficStats("lo");
    EXPECT_GT(after.txBytes, before.txBytes);
    EXPECT_GT(after.rxBytes, before.rxBytes);
    for (const std::string name : {"", "l", "LO", "lo ", " lo", "lo0", "../lo", "lo/..", ".."}) {
        const TrafficStats stats = adapterTrafficStats(name);
        EXPECT_EQ(stats.txBytes + stats.rxBytes, 0U) << name;
    }
}

#ifndef _WIN32
// Linux: both counter files must hold a decimal number, else no adapter (a tmpfs stands in).
TEST(AdapterCounters, BothCountersMustBeThereAndDecimal) {
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("halvern-test", "/sys/class/net", "tmpfs", 0, nullptr) != 0) {
        GTEST_SKIP() << "a private /sys/class/net needs root";
    }
    // Name, then the text of tx_bytes and rx_bytes (nullptr: no such file), then what is read.
    using Row = std::tuple<const char*, const char*, const char*, std::uint64_t, std::uint64_t>;
    const Row cases[] = {
        {"both", "12\n", "3456", 12, 3456}, {"notx", nullptr, "34\n", 0, 0},
        {"norx", "12\n", nullptr, 0, 0},    {"junk", "12x\n", "34\n", 0, 0},
        {"spaced", " 12\n", "34\n", 0, 0},
    };
    for (const auto& [name, tx, rx, txBytes, rxBytes] : cases) {
        const auto statistics = std::filesystem::path("/sys/class/net") / name / "statistics";
        std::filesystem::create_directories(statistics);
        for (const auto& [file, text] : {std::pair{"tx_bytes", tx}, std::pair{"rx_bytes", rx}}) {
            if (text != nullptr) {
                testing::writeFileBytes(statistics / file, text);
            }
        }
        const TrafficStats stats = adapterTrafficStats(name);
        EXPECT_EQ(std::pair(stats.txBytes, stats.rxBytes), std::pair(txBytes, rxBytes)) << name;
    }
    ::umount2("/sys/class/net", MNT_DETACH);
}
#endif

}  // namespace
}  // namespace halvern
