// The Linux setup on real routes in SequenceNetwork's namespaces (uplink via 192.0.2.1).
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "integration/ResolverSandbox.h"
#include "integration/SequenceNetwork.h"
#include "network/NetworkConfigurator.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

TEST(NetworkSetupNamespace, TunnelTakesAllTrafficAndNothingLeaksWhenTheBridgeDies) {
    const std::string tunnel = "Halvern_" + std::to_string(getpid());
    const testing::ScopedRuntimeDirectory runtime;
    testing::SequenceNetwork namespaces{tunnel};
    if (!namespaces.unavailable().empty()) {
        GTEST_SKIP() << namespaces.unavailable();
    }
    const std::string resolverBefore = namespaces.resolverConfiguration();
    const auto routeGet = [](const std::string& to) {
        return testing::commandOutput("ip route get " + to + " 2>&1");
    };
    for (const bool ipv6 : {true, false}) {
        SCOPED_TRACE(ipv6 ? "dual stack" : "IPv6 switched off");
        const char* off = "echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6 && ip tuntap add dev ";
        ASSERT_TRUE(ipv6 || namespaces.change(off + tunnel + " mode tun"));
        const std::string before = namespaces.routingTable();
        NetworkConfigurator network;
        network.apply(tunnel, "203.0.113.7", "10.255.0.1", {"2001:db8::53"},
                      NetworkConfigurator::AdapterAddress::set);
        EXPECT_NE(routeGet("198.51.100.1").find(" dev " + tunnel + " "), std::string::npos);
        EXPECT_NE(namespaces.resolverConfiguration().find(
                      "\nnameserver 2001:db8::53\nnameserver 8.8.8.8\n644\n"),
                  std::string::npos)
            << namespaces.resolverConfiguration();
        if (ipv6) {
            EXPECT_EQ(routeGet("2001:db8:ffff::1"), "RTNETLINK answers: No route to host\n");
            EXPECT_NE(routeGet("2001:db8:1::9").find(" dev uplink "), std::string::npos);
            EXPECT_NE(routeGet("fe80::9 oif uplink").find(" dev uplink "), std::string::npos);
        } else {
            EXPECT_EQ(namespaces.routingTable().find("::/1"), std::string::npos);
        }

        namespaces.bridgeEnded();
        EXPECT_EQ(routeGet("198.51.100.1"), "RTNETLINK answers: No route to host\n");
        EXPECT_EQ(routeGet("8.8.8.8"), "RTNETLINK answers: No route to host\n");
        EXPECT_NE(routeGet("203.0.113.7").find(" via 192.0.2.1 dev uplink "), std::string::npos);
        NetworkConfigurator next;
        EXPECT_TRUE(next.findDefaultRoute());
        EXPECT_EQ(next.defaultGateway() + " " + next.defaultInterface(), "192.0.2.1 uplink");

        network.restore();
        EXPECT_EQ(namespaces.resolverConfiguration(), resolverBefore);
        EXPECT_EQ(namespaces.routingTable(), before);  // the address's routes went with it
    }
}

// Rows that do not parse in full are passed over; a file without its header is no table.
TEST(ForwardTableText, OnlyWholeRowsCount) {
    const testing::ResolverSandbox sandbox(false);
    if (!sandbox.unavailable().empty()) {
        GTEST_SKIP() << sandbox.unavailable();
    }
    std::filesystem::create_directories("/run/proc/net");
    ASSERT_EQ(::mount("/run/proc", "/proc", nullptr, MS_BIND, nullptr), 0);
    std::vector<ForwardRow> rows{{}};
    EXPECT_FALSE(readIpv4ForwardTable(rows)) << "no file";
    testing::writeFileBytes("/proc/net/route", "");
    EXPECT_FALSE(readIpv4ForwardTable(rows)) << "no header";
    testing::writeFileBytes("/proc/net/route",
                            "Iface Destination Gateway Flags RefCnt Use Metric Mask MTU\n"
                            "lo 00000000 010200C0 0003 0 0 17 00000000 0 0 0\n"
                            "lo 00000000 1010200C0 0003 0 0 17 00000000 0 0 0\n"
                            "lo 00000000 010200C0x 0003 0 0 17 00000000 0 0 0\n"
                            "lo 00000000 010200C0 0003 0 0 17\n"
                            "gone0 0000A8C0 00000000 0001 0 0 1 00FFFFFF 0 0 0\n");
    ASSERT_TRUE(readIpv4ForwardTable(rows));
    // destination, mask, next hop, interface index, metric
    EXPECT_EQ(rows,
              (std::vector<ForwardRow>{{0, 0, 0x010200C0U, 1, 17}, {0xA8C0U, 0xFFFFFFU, 0, 0, 1}}));
}

}  // namespace
}  // namespace halvern
