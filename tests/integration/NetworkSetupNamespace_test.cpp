// The Linux network setup against real routes: every test moves its thread into a fresh network
// namespace of its own (so the code under test, its `ip` children and /proc/net/route all see
// only that namespace) and back again; the namespace, with its veth pair and TUN device, goes
// away with the last reference. resolvectl is replaced by a recording stand-in first on PATH, so
// the host's resolver is never touched.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

#include "network/NetworkConfigurator.h"

namespace halvern {
namespace {

std::string capture(const std::string& command) {
    std::string output;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    char buffer[512];
    for (std::size_t count = 0;
         pipe && (count = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0;) {
        output.append(buffer, count);
    }
    return output;
}

class NetworkSetupNamespace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to create network namespaces; run as root (CI does)";
        }
        original_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(original_, 0);
        ASSERT_EQ(unshare(CLONE_NEWNET), 0);

        std::string pattern = (std::filesystem::temp_directory_path() / "halvern-net-XXXXXX");
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        std::ofstream(directory_ / "resolvectl")
            << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << (directory_ / "calls").string() << "'\n";
        std::filesystem::permissions(directory_ / "resolvectl", std::filesystem::perms::owner_all);
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
        setenv("PATH", (directory_.string() + ":" + savedPath_).c_str(), 1);

        // The far end of the veth pair is up too, which gives hv0 a carrier.
        sh("ip link set lo up && ip link add hv0 type veth peer name hv0p");
        sh("ip link set hv0p up && ip link set hv0 up && ip address add 192.0.2.2/24 dev hv0");
        sh("ip tuntap add mode tun name " + tunnel_);
    }

    void TearDown() override {
        if (!savedPath_.empty()) {
            setenv("PATH", savedPath_.c_str(), 1);
        }
        if (!directory_.empty()) {
            std::filesystem::remove_all(directory_);
        }
        if (original_ >= 0) {
            setns(original_, CLONE_NEWNET);
            close(original_);
        }
    }

    static void sh(const std::string& command) {
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    static std::string routes() { return capture("ip route show table main"); }

    std::string resolvectlCalls() const {
        std::ifstream file(directory_ / "calls");
        return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    }

    // A tunnel device left with an address and a route from an earlier run.
    void staleTunnel(const std::string& route) {
        sh("ip address add 10.255.0.1/24 dev " + tunnel_ + " && ip link set " + tunnel_ + " up");
        sh("ip route add " + route + " dev " + tunnel_);
    }

    const std::string tunnel_ = "Halvern_" + std::to_string(getpid());

  private:
    int original_ = -1;
    std::filesystem::path directory_;
    std::string savedPath_;
};

TEST_F(NetworkSetupNamespace, TunnelTakesAllTrafficAndRestoreGivesTheTableBack) {
    sh("ip route add default via 192.0.2.1 dev hv0");
    const std::string before = routes();

    NetworkConfigurator network;
    network.apply(tunnel_, "203.0.113.7", "10.255.0.1", {}, true);
    EXPECT_TRUE(network.applied());
    EXPECT_NE(capture("ip route get 198.51.100.1").find(" dev " + tunnel_ + " "),
              std::string::npos);
    EXPECT_NE(capture("ip route get 203.0.113.7").find(" via 192.0.2.1 dev hv0 "),
              std::string::npos);
    EXPECT_EQ(resolvectlCalls(), "dns " + tunnel_ + " 1.1.1.1\ndomain " + tunnel_ + " ~.\ndns " +
                                     tunnel_ + " 1.1.1.1 8.8.8.8\n");

    network.restore();
    // The address and its connected route stay on the adapter until the bridge takes it away.
    sh("ip link delete " + tunnel_);
    EXPECT_EQ(routes(), before);
}

TEST_F(NetworkSetupNamespace, FailingTunnelRouteLeavesTheHostRouteBehind) {
    sh("ip route add default via 192.0.2.1 dev hv0");
    staleTunnel("0.0.0.0/1 via 10.255.0.1 metric 1");

    NetworkConfigurator network;
    try {
        network.apply(tunnel_, "203.0.113.7", "10.255.0.1", {}, true);
        FAIL() << "apply succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(error.what(),
                  "Command failed with exit code 2: ip route add 0.0.0.0/1 via "
                  "10.255.0.1 dev " +
                      tunnel_ + " metric 1");
    }
    EXPECT_FALSE(network.applied());
    const std::string after = routes();
    EXPECT_NE(after.find("203.0.113.7 via 192.0.2.1 dev hv0 metric 1"), std::string::npos);
    EXPECT_EQ(after.find("128.0.0.0/1"), std::string::npos);
    network.restore();
    EXPECT_EQ(routes(), after) << "restore removes nothing after a failed apply";
}

TEST_F(NetworkSetupNamespace, WithoutAGatewayNothingIsTouched) {
    // Only an on-link default route and one through a tunnel adapter: neither has a gateway to
    // keep the server on.
    sh("ip route add default dev hv0");
    staleTunnel("default via 10.255.0.2 metric 5");
    const std::string before = routes() + capture("ip address show");

    NetworkConfigurator network;
    try {
        network.apply(tunnel_, "203.0.113.7", "10.255.0.1", {}, true);
        FAIL() << "apply succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Could not determine the default route");
    }
    EXPECT_EQ(routes() + capture("ip address show"), before);
    EXPECT_EQ(resolvectlCalls(), "");
}

}  // namespace
}  // namespace halvern
