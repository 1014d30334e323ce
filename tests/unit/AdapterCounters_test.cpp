#include "processes/AdapterCounters.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#define closesocket close
#endif

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "processes/SocketCalls.h"

namespace halvern {
namespace {

// The loopback interface exists everywhere these tests run and its counters are real. Under
// Wine the adapter list shows the Linux interfaces under their Linux names, so it is "lo" on
// both legs (on Windows itself loopback is neither named so nor counted).
constexpr const char* kLoopback = "lo";

// Sends `total` bytes of UDP payload across loopback, one datagram received before the next is
// sent so that none is dropped; returns how many bytes arrived.
std::size_t sendLoopbackDatagrams(std::size_t total) {
    ensureWinsock();
    const auto receiver = socket(AF_INET, SOCK_DGRAM, 0);
    const auto sender = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    socklen_t length = sizeof(address);
    auto* const target = reinterpret_cast<sockaddr*>(&address);
    std::size_t arrived = 0;
    if (bind(receiver, target, sizeof(address)) == 0 &&
        getsockname(receiver, target, &length) == 0) {
        char payload[8192] = {};
        while (arrived < total &&
               sendto(sender, payload, sizeof(payload), 0, target, sizeof(address)) > 0) {
            const auto got = recv(receiver, payload, sizeof(payload), 0);
            if (got <= 0) {
                break;
            }
            arrived += static_cast<std::size_t>(got);
        }
    }
    closesocket(receiver);
    closesocket(sender);
    return arrived;
}

TEST(AdapterCounters, CountersOfExactlyTheNamedAdapterGrowWithItsTraffic) {
    const TrafficStats before = adapterTrafficStats(kLoopback);
    ASSERT_GT(before.txBytes + before.rxBytes, 0U) << "loopback counters should be readable";
    constexpr std::size_t kBytes = 256 * 1024;
    ASSERT_EQ(sendLoopbackDatagrams(kBytes), kBytes);
    const TrafficStats after = adapterTrafficStats(kLoopback);
    // Other processes may use loopback too; they can only add to the counters.
    EXPECT_GE(after.txBytes - before.txBytes, kBytes);
    EXPECT_GE(after.rxBytes - before.rxBytes, kBytes);
    // Only the exact name matches.
    for (const std::string name : {"", "l", "LO", "lo ", " lo", "lo0", "../lo", "lo/..", ".."}) {
        const TrafficStats stats = adapterTrafficStats(name);
        EXPECT_EQ(stats.txBytes + stats.rxBytes, 0U) << name;
    }
}

}  // namespace
}  // namespace halvern
