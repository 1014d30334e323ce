// The Linux network setup against real routes and a real /etc/resolv.conf, in the network and
// mount namespaces of SequenceNetwork: an uplink with a default route via 192.0.2.1, a TUN
// device under the adapter's name, and a scratch /etc that the service writes itself.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

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

    // An address and a route on the tunnel device, as an earlier run could have left them.
    void staleTunnel(const std::string& route) {
        sh("ip address add 10.255.0.1/24 dev " + tunnel_ + " && ip link set " + tunnel_ + " up");
        sh("ip route add " + route + " dev " + tunnel_);
    }

    // Runs apply, which must fail with `message`.
    void applyFails(NetworkConfigurator& network, const std::string& message) {
        try {
            network.apply(tunnel_, "203.0.113.7", "10.255.0.1", {}, true);
            ADD_FAILURE() << "apply succeeded";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(error.what(), message);
        }
        EXPECT_FALSE(network.applied());
        EXPECT_EQ(network_.resolverConfiguration(), resolverBefore_);
    }

    const std::string tunnel_ = "Halvern_" + std::to_string(getpid());
    testing::ScopedRuntimeDirectory runtime_;  // where the resolv.conf backup goes
    testing::SequenceNetwork network_{tunnel_};
    std::string resolverBefore_;
};

TEST_F(NetworkSetupNamespace, TunnelTakesAllTrafficAndRestoreGivesTheTableBack) {
    const std::string before = network_.routingTable();

    NetworkConfigurator network;
    network.apply(tunnel_, "203.0.113.7", "10.255.0.1", {"2001:db8::53"}, true);
    EXPECT_TRUE(network.applied());
    EXPECT_NE(commandOutput("ip route get 198.51.100.1").find(" dev " + tunnel_ + " "),
              std::string::npos);
    EXPECT_NE(commandOutput("ip route get 203.0.113.7").find(" via 192.0.2.1 dev uplink "),
              std::string::npos);
    EXPECT_NE(network_.resolverConfiguration().find(
                  "\nnameserver 2001:db8::53\nnameserver 8.8.8.8\n644\n"),
              std::string::npos)
        << network_.resolverConfiguration();

    network.restore();
    EXPECT_EQ(network_.resolverConfiguration(), resolverBefore_);
    // The address and its connected route stay on the adapter until the bridge takes it away.
    network_.bridgeEnded();
    EXPECT_EQ(network_.routingTable(), before);
}

// The routes that got in stay, but the DNS change, which would outlive the adapter, is undone.
TEST_F(NetworkSetupNamespace, FailingTunnelRouteLeavesTheHostRouteBehind) {
    staleTunnel("0.0.0.0/1 via 10.255.0.1 metric 1");
    NetworkConfigurator network;
    applyFails(network,
               "Command failed with exit code 2: ip route add 0.0.0.0/1 via 10.255.0.1 dev " +
                   tunnel_ + " metric 1");
    const std::string after = network_.routingTable();
    EXPECT_NE(after.find("203.0.113.7 via 192.0.2.1 dev uplink metric 1"), std::string::npos);
    EXPECT_EQ(after.find("128.0.0.0/1"), std::string::npos);
    network.restore();
    EXPECT_EQ(network_.routingTable(), after) << "restore removes nothing after a failed apply";
}

TEST_F(NetworkSetupNamespace, WithoutAGatewayNothingIsTouched) {
    // Only an on-link default route and one through a tunnel adapter: neither has a gateway to
    // keep the server on.
    sh("ip route replace default dev uplink");
    staleTunnel("default via 10.255.0.2 metric 5");
    const std::string before = network_.routingTable() + commandOutput("ip address show");
    NetworkConfigurator network;
    applyFails(network, "Could not determine the default route");
    EXPECT_EQ(network_.routingTable() + commandOutput("ip address show"), before);
}

}  // namespace
}  // namespace halvern
