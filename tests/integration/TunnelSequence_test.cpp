// The whole connect and disconnect sequence with our stand-ins for the proxy core and the
// bridge, installed where the service looks for them (beside this test's own executable), and
// the real network setup (see SequenceNetwork.h). Every case checks that no child is left.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "common/ExecutablePath.h"
#include "common/MonotonicClock.h"
#include "common/SessionJournal.h"
#include "control/CommandDispatcher.h"
#include "control/JsonText.h"
#include "control/ServiceState.h"
#include "integration/SequenceNetwork.h"
#include "network/NetworkSystem.h"
#include "processes/ProcessLauncher.h"
#include "processes/TunnelBridgeProcess.h"
#include "support/PortLock.h"
#include "support/TestSupport.h"
#include "tunnel/SessionRecovery.h"
#include "tunnel/TunnelController.h"

namespace halvern {
namespace {

using Words = std::vector<std::string>;

const std::string kConfigFile = "halvern_xray_config.json";
const std::string kCoreLog = "halvern_xray_output.log";
const std::string kBridgeLog = "halvern_tun2socks_output.log";
const std::string kServer = "198.51.100.7";

// A client configuration whose outbound names kServer, with the stand-in core's behaviour in it.
std::string coreConfig(const std::string& behaviour) {
    return "{\"fakeBehaviour\": \"" + behaviour +
           "\", \"outbounds\": [{\"protocol\": \"vmess\", \"settings\": {\"vnext\": "
           "[{\"address\": \"" +
           kServer + "\", \"port\": 443}]}}]}";
}
const std::string kHealthyCore = "print core up\\n;listen 10807";

class TunnelSequenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!network_.unavailable().empty()) {
            GTEST_SKIP() << network_.unavailable();
        }
        ASSERT_TRUE(testing::waitUntilPortIsFree(10807))
            << "something outside the lock holds 10807";
        removeInstalledPrograms();
        std::filesystem::create_directories(dataDir());
        resolverBefore_ = network_.resolverConfiguration();
    }

    void TearDown() override {
        controller.reset();
        EXPECT_EQ(testing::childProcessesLeftBehind(), std::vector<std::uint32_t>{})
            << "a child process was left behind";
        removeInstalledPrograms();
    }

    static std::filesystem::path exeDir() { return executablePath().parent_path(); }
    static std::filesystem::path dataDir() { return exeDir() / "data"; }
    static std::string core() { return ProcessLauncher::executableFileName("xray"); }
    static std::string bridge() { return ProcessLauncher::executableFileName("tun2socks"); }

    static void removeInstalledPrograms() {
        std::error_code ignored;
        std::filesystem::remove_all(dataDir(), ignored);
        for (const std::string stem : {"xray", "tun2socks"}) {
            std::filesystem::remove(exeDir() / testing::programFileName(stem), ignored);
            std::filesystem::remove(exeDir() / (stem + ".behaviour"), ignored);
        }
    }

    static void installCore(const std::filesystem::path& where, const std::string& behaviour = {}) {
        testing::installFake(testing::fakesDirectory(), "xray", where, behaviour);
    }
    static void installBridge(const std::filesystem::path& where,
                              const std::string& behaviour = "print bridge up\\n;hold") {
        testing::installFake(testing::fakesDirectory(), "tun2socks", where, behaviour);
    }

    static std::filesystem::path runtimeFile(const std::string& name) {
        return ProcessLauncher::tempFilePath(name);
    }

    static std::string logContent(TunnelController& tunnel, const std::string& source) {
        return tunnel.readLogDelta(source, 0, 65536).content;
    }

    StatusCallback recorder() {
        return [this](const std::string& word) { words_.push_back(word); };
    }

    // What every failed connect leaves: no child, no configuration file, "error" and its text.
    void expectFailedConnect(TunnelController& tunnel) {
        EXPECT_EQ(tunnel.status(), "error");
        EXPECT_EQ(tunnel.activeProtocol(), "");
        EXPECT_EQ(words_, (Words{"connecting", "error"}));
        EXPECT_EQ(testing::childProcessesLeftBehind(), std::vector<std::uint32_t>{});
        EXPECT_FALSE(std::filesystem::exists(runtimeFile(kConfigFile)));
        const TrafficStats stats = tunnel.trafficStats();
        EXPECT_EQ(stats.txBytes + stats.rxBytes, 0U);
        EXPECT_EQ(network_.resolverConfiguration(), resolverBefore_);
    }

    testing::SocksPortLock portLock_;
    testing::ScopedRuntimeDirectory runtime_;
    testing::SequenceNetwork network_{tunnelAdapterName()};
    std::string resolverBefore_;
    Words words_;
};

TEST_F(TunnelSequenceTest, ConnectBringsEverythingUpAndDisconnectTakesItDown) {
    installCore(dataDir());
    installBridge(dataDir());
    const std::string routesBefore = network_.routingTable();
    TunnelController tunnel(recorder());

    tunnel.connect(coreConfig(kHealthyCore), "xray", {});
    ASSERT_EQ(tunnel.status(), "connected") << tunnel.lastError();
    EXPECT_EQ(tunnel.activeProtocol(), "xray");
    EXPECT_EQ(tunnel.lastError(), "");
    EXPECT_EQ(words_, (Words{"connecting", "connected"}));
    EXPECT_TRUE(std::filesystem::exists(runtimeFile(kConfigFile)));
    EXPECT_EQ(logContent(tunnel, "windows_xray"), "core up\n");
    EXPECT_EQ(logContent(tunnel, "windows_tun2socks"), "bridge up\n");
    EXPECT_EQ(testing::childProcessCountSettling(2), 2U);

    const std::string adapter = tunnelAdapterName();
    // The journal holds the configuration, the two children and the two routes while they are up.
    const std::string journal = testing::readFileBytes(sessionJournalPath());
    const std::optional<ParsedJournal> parsed = parseJournal(journal);
    ASSERT_TRUE(parsed) << journal;
    Words kinds;
    for (const auto& entry : parsed->entries) {
        kinds.push_back(entry ? entry->kind : "?");
    }
    // Linux writes the sandboxed resolv.conf here, a change that outlives the adapter; Windows'
    // DNS settings go with the adapter and need no record.
    const bool dnsRecorded = testing::programFileName("x") == "x";
    Words expectedKinds{"proxy-config", "child", "child"};
    if (dnsRecorded) {
        expectedKinds.push_back("dns");
    }
    expectedKinds.insert(expectedKinds.end(), {"server-route", "tunnel-route"});
    EXPECT_EQ(kinds, expectedKinds);
    const std::string routesUp = network_.routingTable();
    const std::vector<std::string> linesUp = network_.systemToolLines();
    if (!routesUp.empty()) {  // Linux: the routes are really there
        EXPECT_NE(routesUp.find("0.0.0.0/1 via 10.255.0.1 dev " + adapter), std::string::npos)
            << routesUp;
        EXPECT_NE(routesUp.find(kServer + " via 192.0.2.1 dev uplink"), std::string::npos)
            << routesUp;
        EXPECT_NE(network_.resolverConfiguration().find("nameserver 1.1.1.1\nnameserver 8.8.8.8"),
                  std::string::npos);
    } else {  // Windows: the netsh lines in the order the setup runs them
        ASSERT_EQ(linesUp.size(), 6U);
        EXPECT_EQ(linesUp[0], "netsh interface ipv4 set address name=\"" + adapter +
                                  "\" source=static addr=10.255.0.1 mask=255.255.255.0");
        EXPECT_EQ(linesUp[1], "netsh interface ipv4 set dnsservers name=\"" + adapter +
                                  "\" static address=1.1.1.1 register=none validate=no");
        EXPECT_EQ(linesUp[2].rfind("powershell -NoProfile -Command ", 0), 0U) << linesUp[2];
        EXPECT_EQ(linesUp[3], "netsh interface ipv4 add dnsservers name=\"" + adapter +
                                  "\" address=8.8.8.8 index=2 validate=no");
        EXPECT_EQ(linesUp[4].rfind("netsh interface ipv4 add route " + kServer + "/32 \"", 0), 0U)
            << linesUp[4];
        EXPECT_EQ(linesUp[5], "netsh interface ipv4 add route 0.0.0.0/0 \"" + adapter +
                                  "\" 10.255.0.1 metric=1");
    }

    tunnel.disconnect();
    EXPECT_EQ(tunnel.status(), "disconnected");
    EXPECT_EQ(words_, (Words{"connecting", "connected", "disconnecting", "disconnected"}));
    EXPECT_EQ(testing::childProcessesLeftBehind(), std::vector<std::uint32_t>{});
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kConfigFile)));
    EXPECT_EQ(logContent(tunnel, "windows_xray"), "core up\n") << "the logs stay";
    EXPECT_EQ(logContent(tunnel, "windows_tun2socks"), "bridge up\n");

    network_.bridgeEnded();
    EXPECT_EQ(network_.routingTable(), routesBefore);
    EXPECT_EQ(network_.resolverConfiguration(), resolverBefore_);
    const std::vector<std::string> linesDown = network_.systemToolLines();
    if (!linesUp.empty()) {
        ASSERT_EQ(linesDown.size(), 8U);
        EXPECT_EQ(linesDown[6],
                  "netsh interface ipv4 delete route 0.0.0.0/0 \"" + adapter + "\" 10.255.0.1");
        EXPECT_EQ(linesDown[7].rfind("netsh interface ipv4 delete route " + kServer + "/32 \"", 0),
                  0U)
            << linesDown[7];
        // The host route is deleted by the same interface and gateway that added it.
        EXPECT_EQ(linesDown[7].substr(linesDown[7].find('"')),
                  linesUp[4].substr(linesUp[4].find('"'),
                                    linesUp[4].rfind(" metric=1") - linesUp[4].find('"')));
    }
    EXPECT_FALSE(std::filesystem::exists(sessionJournalPath())) << "nothing is left to undo";

    // Had the service died while connected, its next start would have run the same deletes.
    testing::writeFileBytes(sessionJournalPath(), testing::journalOfADeadInstance(journal));
    Words report;
    replaySessionJournal(sessionJournalPath(), hostNetworkSystem(),
                         [&](const std::string& line) { report.push_back(line); });
    ASSERT_EQ(report.size(), expectedKinds.size() + 1);
    EXPECT_EQ(report[1], "deleted the tunnel routes of " + adapter);
    EXPECT_EQ(report[2].rfind("deleted the host route to " + kServer + " via ", 0), 0U);
    if (dnsRecorded) {
        EXPECT_EQ(report[3], "put back the DNS settings that " + adapter + " changed (file)");
    }
    EXPECT_NE(report[report.size() - 2].find("had already ended"), std::string::npos);
    EXPECT_EQ(report.back(), "deleted the proxy configuration of the previous instance");
    EXPECT_EQ(network_.routingTable(), routesBefore);
    if (!linesUp.empty()) {  // Windows: the two delete lines of the disconnect, once more
        Words expected = linesDown;
        expected.insert(expected.end(), {linesDown[6], linesDown[7]});
        EXPECT_EQ(network_.systemToolLines(), expected);
    }

    tunnel.disconnect();
    EXPECT_EQ(words_.size(), 4U) << "a second disconnect announces nothing";
}

TEST_F(TunnelSequenceTest, StartXrayWhileConnectedGoesDownThenUpAgain) {
    installCore(dataDir());
    installBridge(dataDir());
    controller = std::make_unique<TunnelController>(recorder());
    const auto startXray = [](const std::string& behaviour) {
        return dispatchCommand("{\"command\":\"startXray\",\"configJson\":" +
                               quoteJson(coreConfig(behaviour)) + "}\n");
    };

    EXPECT_EQ(startXray("print first session of the core\\n;listen 10807"),
              "{\"ok\":true,\"status\":\"connected\"}");
    const std::string firstLog = "first session of the core\n";
    const auto firstSize = static_cast<std::int64_t>(firstLog.size());
    EXPECT_EQ(dispatchCommand("{\"command\":\"readLogDelta\",\"source\":\"windows_xray\"}"),
              "{\"ok\":true,\"content\":" + quoteJson(firstLog) + ",\"nextOffset\":" +
                  std::to_string(firstSize) + ",\"fileSize\":" + std::to_string(firstSize) + "}");

    EXPECT_EQ(startXray("print second\\n;listen 10807"), "{\"ok\":true,\"status\":\"connected\"}");
    EXPECT_EQ(words_, (Words{"connecting", "connected", "disconnecting", "disconnected",
                             "connecting", "connected"}));
    EXPECT_EQ(testing::childProcessCountSettling(2), 2U);
    // The restart emptied the log below the client's offset: nothing comes back, the offset
    // stays, and the smaller size tells the client to start over.
    EXPECT_EQ(dispatchCommand("{\"command\":\"readLogDelta\",\"source\":\"windows_xray\","
                              "\"offset\":" +
                              std::to_string(firstSize) + "}"),
              "{\"ok\":true,\"content\":\"\",\"nextOffset\":" + std::to_string(firstSize) +
                  ",\"fileSize\":7}");

    EXPECT_EQ(dispatchCommand("{\"command\":\"stop\"}"),
              "{\"ok\":true,\"status\":\"disconnected\"}");
    EXPECT_EQ(dispatchCommand("{\"command\":\"status\"}"),
              "{\"ok\":true,\"status\":\"disconnected\",\"activeProtocol\":\"\"}");
    EXPECT_EQ(dispatchCommand("{\"command\":\"trafficStats\"}"),
              "{\"ok\":true,\"txBytes\":0,\"rxBytes\":0}");
    EXPECT_EQ(words_.size(), 8U);
    network_.bridgeEnded();
}

// Each failing step: its message, the logs it leaves, and nothing else left behind.
TEST_F(TunnelSequenceTest, EveryFailingStepCleansUp) {
    const struct {
        const char* what;
        bool installCore;
        std::string core, bridge, error, coreLog, bridgeLog;
        bool failApply;
    } cases[] = {
        {"core exits", true, "eprint config rejected\\n;exit 23", "print bridge up\\n;hold",
         core() + " exited prematurely with code 23 | output: config rejected\n",
         "config rejected\n", "", false},
        // Nothing installed anywhere: the bare name is left to the system's search, which fails.
        {"no core", false, kHealthyCore, "print bridge up\\n;hold",
         "Failed to start " + core() + " (error ", "", "", false},
        {"core never listens", true, "print still loading\\n;hold", "print bridge up\\n;hold",
         "Timed out waiting for " + core() + " SOCKS5 port 10807 | output: still loading\n",
         "still loading\n", "", false},
        {"bridge ends while settling", true, kHealthyCore, "print no adapter\\n;exit 5",
         bridge() + " exited prematurely with code 5 | output: no adapter\n", "core up\n",
         "no adapter\n", false},
        {"network setup fails", true, kHealthyCore, "print bridge up\\n;hold",
         "Command failed with exit code 1: ", "core up\n", "bridge up\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        removeInstalledPrograms();
        std::filesystem::create_directories(dataDir());
        std::error_code ignored;  // the logs of the case before
        std::filesystem::remove(runtimeFile(kCoreLog), ignored);
        std::filesystem::remove(runtimeFile(kBridgeLog), ignored);
        if (c.installCore) {
            installCore(dataDir());
        }
        installBridge(dataDir(), c.bridge);
        if (c.failApply) {
            network_.failApply();
        }
        words_.clear();
        TunnelController tunnel(recorder());
        tunnel.connect(coreConfig(c.core), "xray", {});
        EXPECT_EQ(tunnel.lastError().rfind(c.error, 0), 0U) << tunnel.lastError();
        expectFailedConnect(tunnel);
        EXPECT_EQ(logContent(tunnel, "windows_xray"), c.coreLog);
        EXPECT_EQ(logContent(tunnel, "windows_tun2socks"), c.bridgeLog);
        if (c.bridgeLog.empty()) {
            EXPECT_FALSE(std::filesystem::exists(runtimeFile(kBridgeLog))) << "bridge never ran";
        }
        // The failure text outlives an idle disconnect, which announces nothing.
        const std::string message = tunnel.lastError();
        tunnel.disconnect();
        EXPECT_EQ(tunnel.status(), "disconnected");
        EXPECT_EQ(tunnel.lastError(), message);
        EXPECT_EQ(words_.size(), 2U);
    }
}

TEST_F(TunnelSequenceTest, TheDataFolderWinsEvenWithADirectoryOfTheProgramsName) {
    installCore(exeDir());
    installBridge(dataDir());
    std::filesystem::create_directory(dataDir() / core());
    {
        TunnelController tunnel(recorder());
        tunnel.connect(coreConfig(kHealthyCore), "xray", {});
        // The directory was handed on and could not be started: the good copy beside the
        // executable was not used.
        EXPECT_EQ(tunnel.lastError().rfind("Failed to start " + core() + " (error ", 0), 0U)
            << tunnel.lastError();
        expectFailedConnect(tunnel);
    }
    // A good copy in "data" and one beside the executable that cannot run: "data" is taken.
    std::filesystem::remove(dataDir() / core());
    installCore(dataDir());
    testing::writeFileBytes(exeDir() / core(), "not a program");
    words_.clear();
    TunnelController tunnel(recorder());
    tunnel.connect(coreConfig(kHealthyCore), "xray", {});
    EXPECT_EQ(tunnel.status(), "connected") << tunnel.lastError();
    tunnel.disconnect();
    network_.bridgeEnded();
}

}  // namespace
}  // namespace halvern
