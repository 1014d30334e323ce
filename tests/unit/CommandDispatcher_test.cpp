#include "control/CommandDispatcher.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/JsonText.h"
#include "control/ServiceState.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

const std::string kMissingCommand = R"({"ok":false,"error":"Missing command"})";

class Dispatcher : public ::testing::Test {
  protected:
    void SetUp() override {
        controller = std::make_unique<TunnelController>(
            [this](const std::string& word) { announced.push_back(word); });
    }
    void TearDown() override { controller.reset(); }

    // A start really writes the configuration and tries to launch the core.
    testing::ScopedRuntimeDirectory runtimeDirectory;
    std::vector<std::string> announced;
};

TEST(DispatcherWithoutController, MissingCommandComesBeforeInitialization) {
    ASSERT_EQ(controller, nullptr);
    EXPECT_EQ(dispatchCommand(R"({"comand":"status"})"), kMissingCommand);
    EXPECT_EQ(dispatchCommand(R"({"command":"bogus"})"),
              R"({"ok":false,"error":"HalvernService is not initialized"})");
}

TEST_F(Dispatcher, ExactAnswersToOddRequests) {
    const std::pair<std::string, std::string> cases[] = {
        {"", kMissingCommand},
        {R"({"command":5})", kMissingCommand},
        {R"({"x":"\q","command":"status"})", kMissingCommand},
        {R"({"command":"Status"})", R"({"ok":false,"error":"Unknown command: Status"})"},
        {R"({"command":"a\"b\u0001\n"})", R"({"ok":false,"error":"Unknown command: a\"b?\n"})"},
        {"{\"command\":\"x\x01\xC3\xA9\"}",
         "{\"ok\":false,\"error\":\"Unknown command: x\\u0001\xC3\xA9\"}"},
        {R"({"command":"status"})", R"({"ok":true,"status":"disconnected","activeProtocol":""})"},
        {R"({"command":"lastError"})", R"({"ok":true,"error":""})"},
        {R"({"command":"trafficStats"})", R"({"ok":true,"txBytes":0,"rxBytes":0})"},
        {R"({"command":"stop"})", R"({"ok":true,"status":"disconnected"})"},
        {R"({"command":"readLogDelta"})",
         R"({"ok":true,"content":"","nextOffset":0,"fileSize":0})"},
        {R"({"command":"readLogDelta","source":"nope","offset":-5,"maxBytes":0})",
         R"({"ok":true,"content":"","nextOffset":-5,"fileSize":0})"},
        {R"({"command":"readLogDelta","offset":"7"})",
         R"({"ok":true,"content":"","nextOffset":0,"fileSize":0})"},
        {R"({"command":"startXray"})", R"({"ok":false,"error":"Missing Xray configJson"})"},
        {R"({"command":"startXray","configJson":""})",
         R"({"ok":false,"error":"Missing Xray configJson"})"},
        {R"({"command":"startXray","configJson":{"a":"b"}})",
         R"({"ok":false,"error":"Missing Xray configJson"})"},
    };
    for (const auto& [request, answer] : cases) {
        EXPECT_EQ(dispatchCommand(request), answer) << request;
    }
    EXPECT_TRUE(announced.empty());
    EXPECT_EQ(controller->status(), "disconnected");
}

TEST_F(Dispatcher, FailedStartIsAnsweredWithTheLastError) {
    const std::string response =
        dispatchCommand(R"({"command":"startXray","configJson":"{}","dnsServers":[1]})");
    EXPECT_EQ(controller->status(), "error");
    ASSERT_FALSE(controller->lastError().empty());
    EXPECT_EQ(response, R"({"ok":false,"error":)" + quoteJson(controller->lastError()) + "}");
    EXPECT_EQ(announced, (std::vector<std::string>{"connecting", "error"}));
    // The failure survives a stop and is cleared by the next attempt only.
    EXPECT_EQ(dispatchCommand(R"({"command":"stop"})"), R"({"ok":true,"status":"disconnected"})");
    EXPECT_EQ(dispatchCommand(R"({"command":"lastError"})"),
              R"({"ok":true,"error":)" + quoteJson(controller->lastError()) + "}");
}

}  // namespace
}  // namespace halvern
