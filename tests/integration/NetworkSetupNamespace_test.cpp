// The Linux network setup against real routes: every test builds its own network namespace,
// enters it (so the code under test, its `ip` children and /proc/net/route all see only that
// namespace) and deletes it again on every path. resolvectl is replaced by a recording stand-in
// first on PATH, so the host's resolver is never touched.
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/NetworkConfigurator.h"

namespace halvern {
namespace {

std::string capture(const std::string& command) {
    std::string output;
    const std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) {
        return output;
    }
    char buffer[512];
    std::size_t count = 0;
    while ((count = fread(buffer, 1, sizeof(buffer), pipe.get())) > 0) {
        output.append(buffer, count);
    }
    return output;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        result.push_back(line);
    }
    return result;
}

// A namespace of our own that the calling thread lives in from construction to destruction.
class EnteredNamespace {
  public:
    explicit EnteredNamespace(std::string name) : name_(std::move(name)) {
        original_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (original_ < 0 || std::system(("ip netns add " + name_).c_str()) != 0) {
            throw std::runtime_error("cannot create namespace " + name_);
        }
        created_ = true;
        const int target = open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        const bool entered = target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) {
            close(target);
        }
        if (!entered) {
            leave();
            throw std::runtime_error("cannot enter namespace " + name_);
        }
    }
    ~EnteredNamespace() { leave(); }
    EnteredNamespace(const EnteredNamespace&) = delete;
    EnteredNamespace& operator=(const EnteredNamespace&) = delete;

  private:
    void leave() {
        if (original_ >= 0) {
            setns(original_, CLONE_NEWNET);
            close(original_);
            original_ = -1;
        }
        // Deleting the namespace takes its veth pairs and TUN devices with it.
        if (created_) {
            created_ = false;
            std::system(("ip netns delete " + name_).c_str());
        }
    }

    std::string name_;
    int original_ = -1;
    bool created_ = false;
};

class NetworkSetupNamespace : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to create network namespaces; run as root (CI does)";
        }
        namespace_.emplace("hvnet" + std::to_string(getpid()));

        std::string pattern = (std::filesystem::temp_directory_path() / "halvern-net-XXXXXX");
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        directory_ = pattern;
        const std::filesystem::path standIn = directory_ / "resolvectl";
        std::ofstream(standIn) << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '"
                               << (directory_ / "resolvectl.calls").string() << "'\n";
        std::filesystem::permissions(standIn, std::filesystem::perms::owner_all);
        const char* path = std::getenv("PATH");
        savedPath_ = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
        setenv("PATH", (directory_.string() + ":" + savedPath_).c_str(), 1);

        sh("ip link set lo up");
        addUplink("hv0", "192.0.2.2/24");
        sh("ip tuntap add mode tun name " + tunnel_);
    }

    void TearDown() override {
        if (!savedPath_.empty()) {
            setenv("PATH", savedPath_.c_str(), 1);
        }
        if (!directory_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(directory_, ignored);
        }
        namespace_.reset();
    }

    static void sh(const std::string& command) {
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    // A veth pair whose far end is up too, so that the near end has a carrier.
    static void addUplink(const std::string& name, const std::string& address) {
        sh("ip link add " + name + " type veth peer name " + name + "p");
        sh("ip link set " + name + "p up");
        sh("ip link set " + name + " up");
        sh("ip address add " + address + " dev " + name);
    }

    static std::string routes() { return capture("ip route show table main"); }

    std::string resolvectlCalls() const { return readFile(directory_ / "resolvectl.calls"); }

    // Everything apply() leaves on the tunnel device itself: the connected route of its address.
    std::set<std::string> routesWithoutTunnelSubnet() const {
        std::set<std::string> result;
        for (const std::string& line : lines(routes())) {
            if (line.find("10.255.0.0/24 dev " + tunnel_ + " proto kernel") == std::string::npos) {
                result.insert(line);
            }
        }
        return result;
    }

    const std::string tunnel_ = "Halvern_" + std::to_string(getpid());

  private:
    std::optional<EnteredNamespace> namespace_;
    std::filesystem::path directory_;
    std::string savedPath_;
};

std::set<std::string> asSet(const std::string& text) {
    const std::vector<std::string> all = lines(text);
    return {all.begin(), all.end()};
}

TEST_F(NetworkSetupNamespace, TunnelTakesAllTrafficAndRestoreGivesTheTableBack) {
    sh("ip route add default via 192.0.2.1 dev hv0");
    const std::string before = routes();

    NetworkConfigurator network;
    network.apply(tunnel_, "203.0.113.7", "10.255.0.1", {}, true);
    EXPECT_TRUE(network.applied());
    EXPECT_EQ(network.defaultGateway(), "192.0.2.1");
    EXPECT_EQ(network.defaultInterface(), "hv0");

    EXPECT_NE(capture("ip route get 198.51.100.1").find(" dev " + tunnel_ + " "),
              std::string::npos);
    EXPECT_NE(capture("ip route get 8.8.8.8").find(" dev " + tunnel_ + " "), std::string::npos);
    EXPECT_NE(capture("ip route get 203.0.113.7").find(" via 192.0.2.1 dev hv0 "),
              std::string::npos);
    EXPECT_NE(capture("ip -4 address show dev " + tunnel_).find("inet 10.255.0.1/24 "),
              std::string::npos);
    EXPECT_NE(capture("ip link show dev " + tunnel_).find(",UP"), std::string::npos);
    EXPECT_EQ(resolvectlCalls(), "dns " + tunnel_ + " 1.1.1.1\ndomain " + tunnel_ + " ~.\ndns " +
                                     tunnel_ + " 1.1.1.1 8.8.8.8\n");

    network.restore();
    EXPECT_FALSE(network.applied());
    EXPECT_EQ(network.defaultInterface(), "");
    // The address stays on the adapter, and with it its connected route...
    EXPECT_EQ(routesWithoutTunnelSubnet(), asSet(before));
    // ...until the bridge goes and takes the adapter with it.
    sh("ip link delete " + tunnel_);
    EXPECT_EQ(routes(), before);
}

TEST_F(NetworkSetupNamespace, LowestMetricUplinkIsKeptForTheServer) {
    addUplink("hv1", "198.18.0.2/24");
    sh("ip route add default via 192.0.2.1 dev hv0 metric 100");
    sh("ip route add default via 198.18.0.1 dev hv1 metric 10");
    // A default route left on a tunnel adapter from an earlier run is never the way out.
    sh("ip address add 10.255.0.1/24 dev " + tunnel_);
    sh("ip link set " + tunnel_ + " up");
    sh("ip route add default via 10.255.0.2 dev " + tunnel_ + " metric 0");
    const std::string before = routes();

    {
        NetworkConfigurator network;
        network.apply(tunnel_, "203.0.113.7", "10.255.0.1", {"9.9.9.9", "9.9.9.9"}, true);
        EXPECT_EQ(network.defaultGateway(), "198.18.0.1");
        EXPECT_EQ(network.defaultInterface(), "hv1");
        EXPECT_NE(capture("ip route get 203.0.113.7").find(" via 198.18.0.1 dev hv1 "),
                  std::string::npos);
        EXPECT_EQ(resolvectlCalls(), "dns " + tunnel_ + " 9.9.9.9\ndomain " + tunnel_ + " ~.\n");
    }
    // The destructor restores.
    EXPECT_EQ(routes(), before);
}

TEST_F(NetworkSetupNamespace, WithoutAGatewayNothingIsTouched) {
    // Only an on-link default route and one through a tunnel adapter: neither has a gateway to
    // keep the server on.
    sh("ip route add default dev hv0");
    sh("ip address add 10.255.0.1/24 dev " + tunnel_);
    sh("ip link set " + tunnel_ + " up");
    sh("ip route add default via 10.255.0.2 dev " + tunnel_ + " metric 5");
    const std::string before = routes();
    const std::string addressesBefore = capture("ip address show");

    NetworkConfigurator network;
    try {
        network.apply(tunnel_, "203.0.113.7", "10.255.0.1", {}, true);
        FAIL() << "apply succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "Could not determine the default route");
    }
    EXPECT_EQ(routes(), before);
    EXPECT_EQ(resolvectlCalls(), "");
    EXPECT_EQ(capture("ip address show"), addressesBefore);
}

TEST_F(NetworkSetupNamespace, FailingTunnelRouteLeavesTheHostRouteBehind) {
    sh("ip route add default via 192.0.2.1 dev hv0");
    // A stale half from a run that never cleaned up.
    sh("ip address add 10.255.0.1/24 dev " + tunnel_);
    sh("ip link set " + tunnel_ + " up");
    sh("ip route add 0.0.0.0/1 via 10.255.0.1 dev " + tunnel_ + " metric 1");

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
    EXPECT_EQ(resolvectlCalls(), "dns " + tunnel_ + " 1.1.1.1\ndomain " + tunnel_ + " ~.\ndns " +
                                     tunnel_ + " 1.1.1.1 8.8.8.8\n");

    network.restore();
    EXPECT_EQ(routes(), after) << "restore removes nothing after a failed apply";
}

TEST_F(NetworkSetupNamespace, RestoreAfterTheAdapterVanished) {
    sh("ip route add default via 192.0.2.1 dev hv0");
    const std::string before = routes();

    NetworkConfigurator network;
    network.apply(tunnel_, "203.0.113.7", "", {}, true);
    // The bridge died: its adapter and every route through it are gone already.
    sh("ip link delete " + tunnel_);
    network.restore();
    EXPECT_FALSE(network.applied());
    EXPECT_EQ(network.adapterName(), "");
    EXPECT_EQ(routes(), before);
}

}  // namespace
}  // namespace halvern
