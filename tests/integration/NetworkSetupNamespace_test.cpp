// The Linux network setup against real routes and a real /etc/resolv.conf, inside the
// namespaces of SequenceNetwork (an uplink with default routes via 192.0.2.1 and 2001:db8:1::fe).
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "integration/ResolverSandbox.h"
#include "integration/SequenceNetwork.h"
#include "network/NetworkConfigurator.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

using testing::commandOutput;

class NetworkSetupNamespace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!network_.unavailable().empty()) {
            GTEST_SKIP() << network_.unavailable();
        }
        resolverBefore_ = network_.resolverConfiguration();
    }

    static void sh(const std::string& command) {
        // NOLINTNEXTLINE(cert-env33-c,concurrency-mt-unsafe): a test's own fixed command
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    const std::string tunnel_ = "Halvern_" + std::to_string(getpid());
    testing::ScopedRuntimeDirectory runtime_;
    testing::SequenceNetwork network_{tunnel_};
    std::string resolverBefore_;
};

// Dual stack, then IPv6 switched off. While up, IPv6 goes nowhere but on the LAN; when the bridge
// dies, only the server still gets out, and the stop after that gives both tables back.
TEST_F(NetworkSetupNamespace, TunnelTakesAllTrafficAndNothingLeaksWhenTheBridgeDies) {
    const auto routeGet = [](const std::string& to) {
        return commandOutput("ip route get " + to + " 2>&1");
    };
    for (const bool ipv6 : {true, false}) {
        SCOPED_TRACE(ipv6 ? "dual stack" : "IPv6 switched off");
        if (!ipv6) {
            sh("echo 1 >/proc/sys/net/ipv6/conf/all/disable_ipv6");
            sh("ip tuntap add dev " + tunnel_ + " mode tun");
        }
        const std::string before = network_.routingTable();
        NetworkConfigurator network;
        network.apply(tunnel_, "203.0.113.7", "10.255.0.1", {"2001:db8::53"}, true);
        EXPECT_TRUE(network.applied());
        EXPECT_NE(routeGet("198.51.100.1").find(" dev " + tunnel_ + " "), std::string::npos);
        EXPECT_NE(routeGet("203.0.113.7").find(" via 192.0.2.1 dev uplink "), std::string::npos);
        EXPECT_NE(network_.resolverConfiguration().find(
                      "\nnameserver 2001:db8::53\nnameserver 8.8.8.8\n644\n"),
                  std::string::npos)
            << network_.resolverConfiguration();
        if (ipv6) {
            EXPECT_EQ(routeGet("2001:db8:ffff::1"), "RTNETLINK answers: No route to host\n");
            EXPECT_NE(routeGet("2001:db8:1::9").find(" dev uplink "), std::string::npos);
            EXPECT_NE(routeGet("fe80::9 oif uplink").find(" dev uplink "), std::string::npos);
        } else {
            EXPECT_EQ(network_.routingTable().find("::/1"), std::string::npos);
        }

        network_.bridgeEnded();
        EXPECT_EQ(routeGet("198.51.100.1"), "RTNETLINK answers: No route to host\n");
        EXPECT_EQ(routeGet("8.8.8.8"), "RTNETLINK answers: No route to host\n");
        EXPECT_NE(routeGet("203.0.113.7").find(" via 192.0.2.1 dev uplink "), std::string::npos);
        NetworkConfigurator next;
        EXPECT_TRUE(next.findDefaultRoute());
        EXPECT_EQ(next.defaultGateway() + " " + next.defaultInterface(), "192.0.2.1 uplink");

        network.restore();
        EXPECT_EQ(network_.resolverConfiguration(), resolverBefore_);
        // The address and its connected routes went with the adapter.
        EXPECT_EQ(network_.routingTable(), before);
    }
}

// A failing tunnel-route step takes back only the rows it added itself; the row in the way is
// not ours and stays.
TEST_F(NetworkSetupNamespace, FailingTunnelRouteStepTakesBackOnlyItsOwnRows) {
    sh("ip address add 10.255.0.1/24 dev " + tunnel_ + " && ip link set " + tunnel_ + " up");
    const struct {
        std::string inTheWay, failing;
    } cases[] = {
        {"-6 route add unreachable 8000::/1 metric 1024",
         "ip -6 route add unreachable 8000::/1 dev lo metric 1024"},
        {"route add 0.0.0.0/1 via 10.255.0.1 dev " + tunnel_ + " metric 1",
         "ip route add 0.0.0.0/1 via 10.255.0.1 dev " + tunnel_ + " metric 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        sh("ip " + c.inTheWay);
        const std::string before = network_.routingTable();
        NetworkConfigurator network;
        try {
            network.apply(tunnel_, "203.0.113.7", "10.255.0.1", {}, true);
            ADD_FAILURE() << "apply succeeded";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), "Command failed with exit code 2: " + c.failing);
        }
        EXPECT_FALSE(network.applied());
        EXPECT_EQ(network_.resolverConfiguration(), resolverBefore_);
        sh("ip route del 203.0.113.7/32 via 192.0.2.1 dev uplink metric 1");
        EXPECT_EQ(network_.routingTable(), before);
        network.restore();
        EXPECT_EQ(network_.routingTable(), before)
            << "restore removes nothing after a failed apply";
        std::string undo = c.inTheWay;
        sh("ip " + undo.replace(undo.find(" add "), 5, " del "));
    }
}

// The kernel's table as text: rows that do not parse in full are passed over, and a file without
// even its header line is no table.
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
    ASSERT_EQ(rows.size(), 2U);
    const auto fields = [](const ForwardRow& row) {
        return std::vector<std::uint32_t>{row.destination, row.mask, row.nextHop,
                                          row.interfaceIndex, row.metric};
    };
    EXPECT_EQ(fields(rows[0]), (std::vector<std::uint32_t>{0, 0, 0x010200C0U, 1, 17}));
    EXPECT_EQ(fields(rows[1]), (std::vector<std::uint32_t>{0xA8C0U, 0xFFFFFFU, 0, 0, 1}));
}

}  // namespace
}  // namespace halvern
