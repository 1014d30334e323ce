// Connect and disconnect with our stand-ins in the "data" folder beside this test and the real
// network setup (SequenceNetwork.h); and a session that watches itself while it is up.
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
#include "processes/ChildLaunch.h"
#include "processes/TunnelBridgeProcess.h"
#include "support/PortLock.h"
#include "support/TestSupport.h"
#include "tunnel/TunnelController.h"

namespace halvern::testing {
namespace {

using Words = std::vector<std::string>;

const std::string kHealthyCore = "print core up\\n;listen 10807";
const std::string kUp = R"({"ok":true,"status":"connected","activeProtocol":"xray"})"
                        R"({"ok":true,"error":""})";
constexpr int kWithinMs = 3000;  // the bound for every follow and restart of a watched session

std::string coreConfig(const std::string& behaviour) {
    return "{\"fakeBehaviour\": \"" + behaviour +
           "\", \"outbounds\": [{\"protocol\": \"vmess\", \"settings\": {\"vnext\": "
           "[{\"address\": \"198.51.100.7\", \"port\": 443}]}}]}";
}

class TunnelSequenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!network_.unavailable().empty()) {
            GTEST_SKIP() << network_.unavailable();
        }
        ASSERT_TRUE(waitUntilPortIsFree(10807)) << "something outside the lock holds 10807";
        // Every case starts from this script, also after a case that changed it was killed.
        writeFileBytes(bridgeScript_, "print bridge up\n;hold");
    }

    void TearDown() override {
        service_.destroyController();
        EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{});
    }

    std::string command(const std::string& request) { return dispatchCommand(service_, request); }
    std::string statusAndError() {
        return command("{\"command\":\"status\"}") + command("{\"command\":\"lastError\"}");
    }
    std::string startXray(const std::string& behaviour) {
        return command("{\"command\":\"startXray\",\"configJson\":" +
                       quoteJson(coreConfig(behaviour)) + "}\n");
    }

    static std::string log(const std::string& program) {
        return readFileBytes(tempFilePath("halvern_" + program + "_output.log"));
    }

    // Linux: the routing table's lines that hold `text`.
    std::string routesWith(const std::string& text) const {
        std::istringstream table(network_.routingTable());
        std::string lines;
        for (std::string line; std::getline(table, line);) {
            lines += line.find(text) != std::string::npos ? line + "\n" : "";
        }
        return lines;
    }

    // The routes through the adapter: Linux, in the table; Windows, adds asked of netsh's stand-in.
    std::size_t tunnelRoutes() const {
        return kOnWindows ? occurrences(network_.commandRecord(), "add route 0.0.0.0/0")
                          : occurrences(routesWith("via 10.255.0.1"), "\n");
    }

    // Kills the child and waits for its successor (for the bridge, with the routes added again).
    bool killedChildComesBack(const std::string& name) {
        const bool bridge = name.starts_with("tun2socks");
        const std::size_t routesBefore = kOnWindows ? tunnelRoutes() : 0;
        const std::uint32_t killed = killChildNamed(name);
        const auto back = [&] {
            const auto children = childProcessesLeftBehind(2, 0);
            return children.size() == 2 && std::ranges::count(children, killed) == 0 &&
                   (!bridge || tunnelRoutes() > routesBefore);
        };
        return killed != 0 && eventually(back, kWithinMs);
    }

    const std::filesystem::path bridgeScript_ =
        executablePath().parent_path() / "data" / "tun2socks.behaviour";
    SocksPortLock portLock_;
    TunnelService service_;
    ScopedRuntimeDirectory runtime_;
    ScopedJournalPlace journal_;
    const std::filesystem::path coreConfig_ = tempFilePath("halvern_xray_config.json");
    SequenceNetwork network_{tunnelAdapterName()};
    std::string resolverBefore_ = network_.resolverConfiguration();
    Words words_;
    StatusCallback recorder_ = [this](const std::string& word) { words_.push_back(word); };
};

TEST_F(TunnelSequenceTest, StartRestartAndStopBringEverythingUpAndDown) {
    const std::string routesBefore = network_.routingTable();
    auto owned = std::make_unique<TunnelController>(recorder_, journal_.path());
    TunnelController& controller = *owned;
    service_.setController(std::move(owned));
    controller.connect(coreConfig(kHealthyCore), "Xray", {});  // a failure the start must clear
    ASSERT_EQ(startXray("print first\\n;listen 10807"), "{\"ok\":true,\"status\":\"connected\"}");
    // A refused job (Windows) costs the restart's children their job, with a line, not the tunnel.
    debugOutputCount("");  // Windows: listening from here on
    refuseChildJobsForTesting(true);
    ASSERT_EQ(startXray(kHealthyCore), "{\"ok\":true,\"status\":\"connected\"}");
    refuseChildJobsForTesting(false);
    EXPECT_EQ(debugOutputCount("HalvernService job: AssignProcessToJobObject failed (error 5)"),
              kOnWindows ? 2U : 0U);
    EXPECT_EQ(statusAndError(), kUp);
    EXPECT_EQ(words_, (Words{"connecting", "error", "connecting", "connected", "disconnecting",
                             "disconnected", "connecting", "connected"}));
    EXPECT_EQ(childProcessesLeftBehind(2).size(), 2U);
    EXPECT_EQ(log("xray"), "core up\n") << "each start begins a new log";
    EXPECT_TRUE(journal_.holdsJournal());

    EXPECT_EQ(command("{\"command\":\"stop\"}"), "{\"ok\":true,\"status\":\"disconnected\"}");
    EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{});
    EXPECT_FALSE(std::filesystem::exists(coreConfig_));
    EXPECT_FALSE(journal_.holdsJournal()) << "nothing is left to undo";
    EXPECT_EQ(log("xray"), "core up\n") << "the logs stay";
    network_.bridgeEnded();
    EXPECT_EQ(network_.routingTable(), routesBefore);
    EXPECT_EQ(network_.resolverConfiguration(), resolverBefore_);
}

// A failure before anything runs and one with both children running leave nothing behind.
TEST_F(TunnelSequenceTest, EveryFailingStepCleansUp) {
    const struct {
        const char* what;
        std::string core, error, bridgeLog;
        bool adapterGone;
    } cases[] = {
        {"core exits", "eprint config rejected\\n;stray;exit 23",
         executableFileName("xray") +
             " exited prematurely with code 23 | output: config rejected\n",
         "", false},
        {"network setup fails", kHealthyCore, "Command failed with exit code 1: ", "bridge up\n",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.adapterGone) {
            network_.bridgeEnded();
        }
        words_.clear();
        TunnelController tunnel(recorder_, journal_.path());
        tunnel.connect(coreConfig(c.core), "xray", {});
        EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{});
        EXPECT_EQ(endLeftoverChildren().value_or(0), 0U);  // Linux: what left the core's group

        EXPECT_FALSE(std::filesystem::exists(coreConfig_));
        EXPECT_EQ(log("tun2socks"), c.bridgeLog);
        // The failure text outlives an idle disconnect, which announces nothing.
        tunnel.disconnect();
        EXPECT_EQ(tunnel.status(), "disconnected");
        EXPECT_EQ(tunnel.lastError().rfind(c.error, 0), 0U) << tunnel.lastError();
        EXPECT_EQ(words_, (Words{"connecting", "error"}));
    }
    TunnelController other{StatusCallback{}, journal_.path()};  // an empty callback is allowed
    other.connect(coreConfig(kHealthyCore), "Xray", {});  // the word is compared byte for byte
    EXPECT_EQ(other.lastError(), "Windows v1 supports Xray-family configs only");
}

// Linux: a second uplink, the bridge making its own TUN device. Windows: Wine's routing table is
// the machine's, so the follow is left to NetworkConfigurator_test.cpp's route snapshots.
TEST_F(TunnelSequenceTest, AWatchedSessionFollowsTheNetworkRestartsChildrenAndGivesUpOnTheFourth) {
    if (!kOnWindows) {
        network_.bridgeEnded();
        writeFileBytes(bridgeScript_, "print bridge up\n;tun;hold");
        // Without udev the node is root's alone; this mount namespace gets one of udev's mode.
        for (const char* change :
             {"mount -t tmpfs -o mode=0755 net /dev/net && mknod -m 0666 /dev/net/tun c 10 200",
              "ip link add uplink2 type veth peer name uplink2peer", "ip link set uplink2peer up",
              "ip address add 198.18.0.2/24 dev uplink2", "ip link set uplink2 up",
              "ip route add default via 198.18.0.1 dev uplink2 metric 100"}) {
            ASSERT_TRUE(network_.change(change)) << change;
        }
    }
    service_.setController(std::make_unique<TunnelController>(recorder_, journal_.path()));
    const std::string server = "198.51.100.7";
    ASSERT_EQ(startXray(kHealthyCore), "{\"ok\":true,\"status\":\"connected\"}");
    const std::pair<const char*, const char*> moves[] = {
        {"true", "192.0.2.1 dev uplink"},  // as the connect made it
        {"ip route replace default via 192.0.2.9 dev uplink", "192.0.2.9 dev uplink"},
        {"ip route del 198.51.100.7/32", "192.0.2.9 dev uplink"},   // put back
        {"ip link set uplinkpeer down", "198.18.0.1 dev uplink2"},  // a roam: carrier lost
    };
    if (!kOnWindows) {
        for (const auto& [change, uplink] : moves) {
            ASSERT_TRUE(network_.change(change));
            const std::string route = server + " via " + uplink + " metric 1 \n";
            EXPECT_TRUE(eventually([&] { return routesWith(server) == route; }, kWithinMs))
                << change << ": " << routesWith(server);
        }
        const std::string journal = readFileBytes(journal_.path());
        EXPECT_TRUE(journal.find("198.18.0.1") != std::string::npos &&
                    journal.find("192.0.2.") == std::string::npos)
            << "a crash undoes the route that exists, and no other";
    }

    for (const char* child : {"xray", "tun2socks", "xray", "xray"}) {
        ASSERT_TRUE(killedChildComesBack(executableFileName(child))) << child;
        EXPECT_EQ(statusAndError(), kUp);
    }
    EXPECT_EQ(log("tun2socks"), "bridge up\nbridge up\n");
    const std::string coreLog = "core up\ncore up\ncore up\ncore up\n";
    EXPECT_EQ(log("xray"), coreLog) << "appended, not emptied";
    const std::string info = command("{\"command\":\"sessionInfo\"}");
    EXPECT_NE(info.find("\"coreRestarts\":3,\"bridgeRestarts\":1}"), std::string::npos) << info;
    EXPECT_TRUE(kOnWindows ||
                info.find("\"198.18.0.1\",\"uplinkInterface\":\"uplink2\"") != std::string::npos)
        << info;

    // The fourth crash within a minute: what a failed connect leaves; on Linux dead ends stay.
    const std::size_t commandsBefore = network_.commandRecord().size();
    ASSERT_NE(killChildNamed(executableFileName("xray")), 0U);
    EXPECT_TRUE(eventually([&] { return statusAndError() != kUp; }, kWithinMs));
    EXPECT_EQ(statusAndError(),
              "{\"ok\":true,\"status\":\"error\",\"activeProtocol\":\"\"}{\"ok\":true,\"error\":" +
                  quoteJson(executableFileName("xray") + " exited unexpectedly with code " +
                            (kOnWindows ? "0" : "137") + " | output: " + coreLog) +
                  "}");
    EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{});
    EXPECT_EQ(words_.back(), "error");
    EXPECT_EQ(command("{\"command\":\"sessionInfo\"}"),
              "{\"ok\":true,\"uplinkGateway\":\"\",\"uplinkInterface\":\"\",\"coreRestarts\":0,"
              "\"bridgeRestarts\":0}");
    EXPECT_EQ(routesWith(server) + routesWith("10.255.0.1"), "");
    EXPECT_EQ(routesWith("unreachable").empty(), kOnWindows) << "nothing leaves beside the tunnel";
    const std::string retreat = network_.commandRecord().substr(commandsBefore);
    EXPECT_EQ(occurrences(retreat, "delete route 0.0.0.0/0") +
                  occurrences(retreat, "delete route " + server + "/32"),
              kOnWindows ? 2U : 0U);

    EXPECT_EQ(command("{\"command\":\"stop\"}"), "{\"ok\":true,\"status\":\"disconnected\"}");
    EXPECT_EQ(routesWith("unreachable") + routesWith(server), "");
    EXPECT_EQ(network_.commandRecord().size(), commandsBefore + retreat.size()) << "nothing left";
    EXPECT_FALSE(journal_.holdsJournal());
}

}  // namespace
}  // namespace halvern::testing
