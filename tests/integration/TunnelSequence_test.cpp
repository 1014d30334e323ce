// The whole connect and disconnect sequence with our stand-ins for the proxy core and the bridge
// in the "data" folder beside this test (see CMakeLists.txt), and the real network setup (see
// SequenceNetwork.h).
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

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

using Words = std::vector<std::string>;

const std::string kHealthyCore = "print core up\\n;listen 10807";

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
    }

    void TearDown() override {
        service_.destroyController();
        EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{});
    }

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
    const auto startXray = [this](const std::string& behaviour) {
        return dispatchCommand(service_, "{\"command\":\"startXray\",\"configJson\":" +
                                             quoteJson(coreConfig(behaviour)) + "}\n");
    };
    controller.connect(coreConfig(kHealthyCore), "Xray", {});  // a failure the start must clear
    ASSERT_EQ(startXray("print first\\n;listen 10807"), "{\"ok\":true,\"status\":\"connected\"}");
    // A refused job (Windows) costs the restart's children their job, with a line, not the tunnel.
#ifdef _WIN32
    debugOutputCount("");  // listening from here on
#endif
    refuseChildJobsForTesting(true);
    ASSERT_EQ(startXray(kHealthyCore), "{\"ok\":true,\"status\":\"connected\"}");
    refuseChildJobsForTesting(false);
#ifdef _WIN32
    EXPECT_EQ(debugOutputCount("HalvernService job: AssignProcessToJobObject failed (error 5)"),
              2U);
#endif
    EXPECT_EQ(controller.activeProtocol(), "xray");
    EXPECT_EQ(controller.lastError(), "");
    EXPECT_EQ(words_, (Words{"connecting", "error", "connecting", "connected", "disconnecting",
                             "disconnected", "connecting", "connected"}));
    EXPECT_EQ(childProcessesLeftBehind(2).size(), 2U);
    EXPECT_EQ(readLogDelta("windows_xray", 0, 65536).content, "core up\n")
        << "each start begins a new log";
    EXPECT_TRUE(journal_.holdsJournal());

    EXPECT_EQ(dispatchCommand(service_, "{\"command\":\"stop\"}"),
              "{\"ok\":true,\"status\":\"disconnected\"}");
    EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{});
    EXPECT_FALSE(std::filesystem::exists(coreConfig_));
    EXPECT_FALSE(journal_.holdsJournal()) << "nothing is left to undo";
    EXPECT_EQ(readLogDelta("windows_xray", 0, 65536).content, "core up\n") << "the logs stay";
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
        {"core exits", "eprint config rejected\\n;exit 23",
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

        EXPECT_FALSE(std::filesystem::exists(coreConfig_));
        EXPECT_EQ(readLogDelta("windows_tun2socks", 0, 65536).content, c.bridgeLog);
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

}  // namespace
}  // namespace halvern::testing
