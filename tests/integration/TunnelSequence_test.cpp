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
#include "common/SessionJournal.h"
#include "control/CommandDispatcher.h"
#include "control/JsonText.h"
#include "control/ServiceState.h"
#include "integration/SequenceNetwork.h"
#include "processes/ProcessLauncher.h"
#include "processes/TunnelBridgeProcess.h"
#include "support/PortLock.h"
#include "support/TestSupport.h"
#include "tunnel/TunnelController.h"

namespace halvern {
namespace {

using Words = std::vector<std::string>;

const std::string kServer = "198.51.100.7";
const std::string kHealthyCore = "print core up\\n;listen 10807";
const std::string kHealthyBridge = "print bridge up\\n;hold";

// A client configuration whose outbound names kServer, with the stand-in core's behaviour in it.
std::string coreConfig(const std::string& behaviour) {
    return "{\"fakeBehaviour\": \"" + behaviour +
           "\", \"outbounds\": [{\"protocol\": \"vmess\", \"settings\": {\"vnext\": "
           "[{\"address\": \"" +
           kServer + "\", \"port\": 443}]}}]}";
}

std::string core() {
    return ProcessLauncher::executableFileName("xray");
}
std::filesystem::path dataDir() {
    return executablePath().parent_path() / "data";
}
std::filesystem::path runtimeFile(const std::string& name) {
    return ProcessLauncher::tempFilePath(name);
}
std::string logOf(TunnelController& tunnel, const std::string& source) {
    return tunnel.readLogDelta(source, 0, 65536).content;
}

class TunnelSequenceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!network_.unavailable().empty()) {
            GTEST_SKIP() << network_.unavailable();
        }
        ASSERT_TRUE(testing::waitUntilPortIsFree(10807))
            << "something outside the lock holds 10807";
        resolverBefore_ = network_.resolverConfiguration();
    }

    void TearDown() override {
        controller.reset();
        EXPECT_EQ(testing::childProcessesLeftBehind(), std::vector<std::uint32_t>{})
            << "a child process was left behind";
        std::error_code ignored;
        std::filesystem::remove_all(dataDir(), ignored);
    }

    // A fresh "data" folder with the stand-ins a case asks for, and no logs of a case before.
    static void install(bool withCore, const std::string& bridgeBehaviour = kHealthyBridge) {
        std::error_code ignored;
        std::filesystem::remove_all(dataDir(), ignored);
        std::filesystem::create_directories(dataDir());
        std::filesystem::remove(runtimeFile("halvern_xray_output.log"), ignored);
        std::filesystem::remove(runtimeFile("halvern_tun2socks_output.log"), ignored);
        if (withCore) {
            testing::installFake(testing::fakesDirectory(), "xray", dataDir());
        }
        testing::installFake(testing::fakesDirectory(), "tun2socks", dataDir(), bridgeBehaviour);
    }

    StatusCallback recorder() {
        return [this](const std::string& word) { words_.push_back(word); };
    }

    testing::SocksPortLock portLock_;
    testing::ScopedRuntimeDirectory runtime_;
    testing::SequenceNetwork network_{tunnelAdapterName()};
    std::string resolverBefore_;
    Words words_;
};

// Through the dispatcher, as a client drives it: a start, a second start while connected, which
// goes down and up again, and a stop.
TEST_F(TunnelSequenceTest, StartRestartAndStopBringEverythingUpAndDown) {
    install(true);
    const std::string routesBefore = network_.routingTable();
    controller = std::make_unique<TunnelController>(recorder());
    const auto startXray = [](const std::string& behaviour) {
        return dispatchCommand("{\"command\":\"startXray\",\"configJson\":" +
                               quoteJson(coreConfig(behaviour)) + "}\n");
    };
    const std::string connected = "{\"ok\":true,\"status\":\"connected\"}";
    ASSERT_EQ(startXray("print first\\n;listen 10807"), connected);
    EXPECT_EQ(logOf(*controller, "windows_tun2socks"), "bridge up\n");
    ASSERT_EQ(startXray(kHealthyCore), connected);
    EXPECT_EQ(controller->activeProtocol(), "xray");
    EXPECT_EQ(words_, (Words{"connecting", "connected", "disconnecting", "disconnected",
                             "connecting", "connected"}));
    EXPECT_EQ(testing::childProcessCountSettling(2), 2U);
    EXPECT_EQ(logOf(*controller, "windows_xray"), "core up\n") << "each start begins a new log";
    EXPECT_TRUE(std::filesystem::exists(runtimeFile("halvern_xray_config.json")));
    EXPECT_TRUE(std::filesystem::exists(sessionJournalPath()));
    if (!routesBefore.empty()) {  // Linux: the routes are really there
        EXPECT_NE(network_.routingTable().find(kServer + " via 192.0.2.1 dev uplink"),
                  std::string::npos);
    }

    EXPECT_EQ(dispatchCommand("{\"command\":\"stop\"}"),
              "{\"ok\":true,\"status\":\"disconnected\"}");
    EXPECT_EQ(controller->activeProtocol(), "");
    EXPECT_EQ(words_.size(), 8U);
    EXPECT_EQ(words_.back(), "disconnected");
    EXPECT_EQ(testing::childProcessesLeftBehind(), std::vector<std::uint32_t>{});
    EXPECT_FALSE(std::filesystem::exists(runtimeFile("halvern_xray_config.json")));
    EXPECT_FALSE(std::filesystem::exists(sessionJournalPath())) << "nothing is left to undo";
    EXPECT_EQ(logOf(*controller, "windows_xray"), "core up\n") << "the logs stay";
    network_.bridgeEnded();
    EXPECT_EQ(network_.routingTable(), routesBefore);
    EXPECT_EQ(network_.resolverConfiguration(), resolverBefore_);
    controller->disconnect();
    EXPECT_EQ(words_.size(), 8U) << "a second disconnect announces nothing";
}

// Each failing step: its message, the logs it leaves, and nothing else left behind.
TEST_F(TunnelSequenceTest, EveryFailingStepCleansUp) {
    const std::string bridge = ProcessLauncher::executableFileName("tun2socks");
    const struct {
        const char* what;
        bool installCore;
        std::string core, bridge, error, coreLog, bridgeLog;
        bool failApply;
    } cases[] = {
        {"core exits", true, "eprint config rejected\\n;exit 23", kHealthyBridge,
         core() + " exited prematurely with code 23 | output: config rejected\n",
         "config rejected\n", "", false},
        // Nothing installed anywhere: the bare name is left to the system's search, which fails.
        {"no core", false, kHealthyCore, kHealthyBridge, "Failed to start " + core() + " (error ",
         "", "", false},
        {"core never listens", true, "print still loading\\n;hold", kHealthyBridge,
         "Timed out waiting for " + core() + " SOCKS5 port 10807 | output: still loading\n",
         "still loading\n", "", false},
        {"bridge ends while settling", true, kHealthyCore, "print no adapter\\n;exit 5",
         bridge + " exited prematurely with code 5 | output: no adapter\n", "core up\n",
         "no adapter\n", false},
        {"network setup fails", true, kHealthyCore, kHealthyBridge,
         "Command failed with exit code 1: ", "core up\n", "bridge up\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        install(c.installCore, c.bridge);
        if (c.failApply) {
            network_.failApply();
        }
        words_.clear();
        TunnelController tunnel(recorder());
        tunnel.connect(coreConfig(c.core), "xray", {});
        EXPECT_EQ(tunnel.lastError().rfind(c.error, 0), 0U) << tunnel.lastError();
        EXPECT_EQ(tunnel.status(), "error");
        EXPECT_EQ(tunnel.activeProtocol(), "");
        EXPECT_EQ(testing::childProcessesLeftBehind(), std::vector<std::uint32_t>{});
        EXPECT_FALSE(std::filesystem::exists(runtimeFile("halvern_xray_config.json")));
        EXPECT_FALSE(std::filesystem::exists(sessionJournalPath()));
        EXPECT_EQ(network_.resolverConfiguration(), resolverBefore_);
        EXPECT_EQ(logOf(tunnel, "windows_xray"), c.coreLog);
        EXPECT_EQ(logOf(tunnel, "windows_tun2socks"), c.bridgeLog);
        // The failure text outlives an idle disconnect, which announces nothing.
        const std::string message = tunnel.lastError();
        tunnel.disconnect();
        EXPECT_EQ(tunnel.status(), "disconnected");
        EXPECT_EQ(tunnel.lastError(), message);
        EXPECT_EQ(words_, (Words{"connecting", "error"}));
    }
    TunnelController other{StatusCallback{}};             // an empty callback is allowed
    other.connect(coreConfig(kHealthyCore), "Xray", {});  // the word is compared byte for byte
    EXPECT_EQ(other.lastError(), "Windows v1 supports Xray-family configs only");
}

}  // namespace
}  // namespace halvern
