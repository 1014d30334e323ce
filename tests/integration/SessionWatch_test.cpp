// A connected session that watches itself (see SequenceNetwork.h for the network side): a killed
// child comes back, and the fourth crash within a minute gives up as a failed connect would. On
// Linux, in a namespace with two uplinks, the host route also follows the default route, and the
// bridge makes its own TUN device, which goes with it as the real one's does. Under Wine the
// adapter's commands go to the recording netsh; its routing table is the machine's, which a test
// must not change, so the follow is left to the route snapshots of NetworkConfigurator_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/ExecutablePath.h"
#include "control/CommandDispatcher.h"
#include "control/JsonText.h"
#include "control/TunnelService.h"
#include "integration/SequenceNetwork.h"
#include "processes/ProcessLauncher.h"
#include "processes/TunnelBridgeProcess.h"
#include "support/PortLock.h"
#include "support/TestSupport.h"
#include "tunnel/TunnelController.h"

namespace halvern::testing {
namespace {

// The acceptance bound for every follow and restart.
constexpr int kWithinMs = 3000;

const std::string kServer = "198.51.100.7";
const std::string kUp =
    "{\"ok\":true,\"status\":\"connected\",\"activeProtocol\":\"xray\"}"
    "{\"ok\":true,\"error\":\"\"}";

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

class SessionWatchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!network_.unavailable().empty()) {
            GTEST_SKIP() << network_.unavailable();
        }
        ASSERT_TRUE(waitUntilPortIsFree(10807)) << "something outside the lock holds 10807";
        if (!kOnWindows) {
            // The bridge makes its own device, unprivileged: without udev the node is root's
            // alone, so this mount namespace (the network's sandbox) gets one of udev's mode.
            network_.bridgeEnded();
            writeFileBytes(bridgeScript_, "print bridge up\\n;tun;hold");
            ASSERT_TRUE(
                network_.change("mount -t tmpfs -o mode=0755 net /dev/net && mknod -m 0666 "
                                "/dev/net/tun c 10 200") &&
                network_.change("ip link add uplink2 type veth peer name uplink2peer") &&
                network_.change("ip link set uplink2peer up") &&
                network_.change("ip address add 198.18.0.2/24 dev uplink2") &&
                network_.change("ip link set uplink2 up") &&
                network_.change("ip route add default via 198.18.0.1 dev uplink2 metric 100"));
        }
        service_.setController(std::make_unique<TunnelController>(
            [this](const std::string& word) { words_.push_back(word); }, journal_.path()));
    }

    void TearDown() override {
        service_.destroyController();
        writeFileBytes(bridgeScript_, savedScript_);
        EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{});
    }

    std::string command(const std::string& request) { return dispatchCommand(service_, request); }
    std::string status() {
        return command("{\"command\":\"status\"}") + command("{\"command\":\"lastError\"}");
    }

    // Linux: the routing table's lines that hold `text`.
    std::string routesWith(const std::string& text) const {
        std::istringstream table(network_.routingTable());
        std::string lines;
        for (std::string line; std::getline(table, line);) {
            if (line.find(text) != std::string::npos) {
                lines += line + "\n";
            }
        }
        return lines;
    }

    // The routes through the adapter: Linux, how many are in the table; Windows, how often netsh
    // was asked to add them.
    std::size_t tunnelRoutes() const {
        return kOnWindows ? occurrences(network_.commandRecord(), "add route 0.0.0.0/0")
                          : occurrences(routesWith("via 10.255.0.1"), "\n");
    }

    // Kills the child and waits for its successor: a new process beside the other child, and for
    // the bridge the routes through the adapter (re-)added.
    bool killedChildComesBack(const std::string& name) {
        const bool bridge = name.starts_with("tun2socks");
        const std::size_t routesBefore = kOnWindows ? tunnelRoutes() : 0;
        const std::uint32_t killed = killChildNamed(name);
        const auto back = [&] {
            const auto children = childProcessesLeftBehind(2, 0);
            return children.size() == 2 &&
                   std::find(children.begin(), children.end(), killed) == children.end() &&
                   (!bridge || tunnelRoutes() > routesBefore);
        };
        return killed != 0 && eventually(back, kWithinMs);
    }

    SocksPortLock portLock_;
    TunnelService service_;
    ScopedRuntimeDirectory runtime_;
    ScopedJournalPlace journal_;
    SequenceNetwork network_{tunnelAdapterName()};
    const std::filesystem::path bridgeScript_ =
        executablePath().parent_path() / "data" / "tun2socks.behaviour";
    const std::string savedScript_ = readFileBytes(bridgeScript_);
    std::vector<std::string> words_;
};

TEST_F(SessionWatchTest, FollowsTheNetworkRestartsChildrenAndGivesUpOnTheFourthCrash) {
    const std::string config =
        "{\"fakeBehaviour\": \"print core up\\n;listen 10807\", "
        "\"outbounds\": [{\"settings\": {\"vnext\": [{\"address\": \"" +
        kServer + "\"}]}}]}";
    ASSERT_EQ(command("{\"command\":\"startXray\",\"configJson\":" + quoteJson(config) + "}"),
              "{\"ok\":true,\"status\":\"connected\"}");

    const struct {
        const char* what;
        const char* change;
        std::string route;
    } moves[] = {
        {"the route as the connect made it", "true",
         kServer + " via 192.0.2.1 dev uplink metric 1 \n"},
        {"a gateway move on the same link", "ip route replace default via 192.0.2.9 dev uplink",
         kServer + " via 192.0.2.9 dev uplink metric 1 \n"},
        {"a vanished host route", "ip route del 198.51.100.7/32",
         kServer + " via 192.0.2.9 dev uplink metric 1 \n"},
        {"a roam: the first link loses its carrier, its routes stay", "ip link set uplinkpeer down",
         kServer + " via 198.18.0.1 dev uplink2 metric 1 \n"},
    };
    for (const auto& move : moves) {
        if (kOnWindows) {
            break;
        }
        SCOPED_TRACE(move.what);
        ASSERT_TRUE(network_.change(move.change));
        EXPECT_TRUE(eventually([&] { return routesWith(kServer) == move.route; }, kWithinMs))
            << routesWith(kServer);
    }
    if (!kOnWindows) {
        const std::string journal = readFileBytes(journal_.path());
        EXPECT_NE(journal.find("198.18.0.1"), std::string::npos) << "a crash undoes the new route";
        EXPECT_EQ(journal.find("192.0.2."), std::string::npos) << "and nothing of the old ones";
    }

    // Both children come back within the budget, their logs continued, not emptied.
    for (const char* child : {"xray", "tun2socks", "xray", "xray"}) {
        SCOPED_TRACE(child);
        ASSERT_TRUE(killedChildComesBack(executableFileName(child)));
        EXPECT_EQ(status(), kUp);
    }
    EXPECT_EQ(readLogDelta("windows_tun2socks", 0, 4096).content, "bridge up\nbridge up\n");
    const std::string coreLog = "core up\ncore up\ncore up\ncore up\n";
    EXPECT_EQ(readLogDelta("windows_xray", 0, 4096).content, coreLog);
    const std::string info = command("{\"command\":\"sessionInfo\"}");
    EXPECT_NE(info.find("\"coreRestarts\":3,\"bridgeRestarts\":1}"), std::string::npos) << info;
    if (!kOnWindows) {
        EXPECT_EQ(info.find("\"uplinkGateway\":\"198.18.0.1\",\"uplinkInterface\":\"uplink2\""),
                  info.find("\"uplinkGateway\""));
    }

    // The fourth crash of the core within a minute: what a failed connect leaves, dead ends kept.
    const std::size_t commandsBefore = network_.commandRecord().size();
    ASSERT_NE(killChildNamed(executableFileName("xray")), 0U);
    const std::string error = executableFileName("xray") + " exited unexpectedly with code " +
                              (kOnWindows ? "0" : "137") + " | output: " + coreLog;
    EXPECT_TRUE(eventually([&] { return status() != kUp; }, kWithinMs));
    EXPECT_EQ(status(),
              "{\"ok\":true,\"status\":\"error\",\"activeProtocol\":\"\"}"
              "{\"ok\":true,\"error\":" +
                  quoteJson(error) + "}");
    EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{});
    EXPECT_EQ(words_.back(), "error");
    EXPECT_EQ(command("{\"command\":\"sessionInfo\"}"),
              "{\"ok\":true,\"uplinkGateway\":\"\",\"uplinkInterface\":\"\","
              "\"coreRestarts\":0,\"bridgeRestarts\":0}");
    EXPECT_EQ(routesWith(kServer) + routesWith("10.255.0.1"), "");
    EXPECT_EQ(routesWith("unreachable").empty(), kOnWindows) << "nothing leaves beside the tunnel";
    const std::string retreat = network_.commandRecord().substr(commandsBefore);
    EXPECT_EQ(occurrences(retreat, "delete route 0.0.0.0/0") +
                  occurrences(retreat, "delete route " + kServer + "/32"),
              kOnWindows ? 2U : 0U);

    EXPECT_EQ(command("{\"command\":\"stop\"}"), "{\"ok\":true,\"status\":\"disconnected\"}");
    EXPECT_EQ(routesWith("unreachable") + routesWith(kServer), "");
    EXPECT_EQ(network_.commandRecord().size(), commandsBefore + retreat.size())
        << "Windows: nothing is left for stop";
    EXPECT_FALSE(journal_.holdsJournal());
}

}  // namespace
}  // namespace halvern::testing
