#include "control/CommandDispatcher.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "control/ServiceState.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

class Dispatcher : public ::testing::Test {
  protected:
    void SetUp() override {
        controller = std::make_unique<TunnelController>(
            [this](const std::string& word) { announced.push_back(word); });
    }
    void TearDown() override { controller.reset(); }

    // A start really writes the configuration and tries to launch the core: keep that away from
    // the machine's own runtime directory.
    testing::ScopedRuntimeDirectory runtimeDirectory;
    std::vector<std::string> announced;
};

TEST(DispatcherWithoutController, MissingCommandComesBeforeInitialization) {
    ASSERT_EQ(controller, nullptr);
    EXPECT_EQ(dispatchCommand(""), R"({"ok":false,"error":"Missing command"})");
    EXPECT_EQ(dispatchCommand(R"({"comand":"status"})"),
              R"({"ok":false,"error":"Missing command"})");
    EXPECT_EQ(dispatchCommand(R"({"command":"status"})"),
              R"({"ok":false,"error":"HalvernService is not initialized"})");
    EXPECT_EQ(dispatchCommand(R"({"command":"bogus"})"),
              R"({"ok":false,"error":"HalvernService is not initialized"})");
}

TEST_F(Dispatcher, RequestsWithoutAStringCommand) {
    for (const std::string request :
         {"", "not json", R"({"comand":"status"})", R"({"command":5})", R"({"command":null})",
          R"({"command":["status"]})", R"({"command" "status"})",
          R"({"x":"\q","command":"status"})"}) {
        EXPECT_EQ(dispatchCommand(request), R"({"ok":false,"error":"Missing command"})") << request;
    }
}

TEST_F(Dispatcher, UnknownCommandsAreEchoedEscaped) {
    EXPECT_EQ(dispatchCommand(R"({"command":""})"), R"({"ok":false,"error":"Unknown command: "})");
    EXPECT_EQ(dispatchCommand(R"({"command":"Status"})"),
              R"({"ok":false,"error":"Unknown command: Status"})");
    EXPECT_EQ(dispatchCommand(R"({"command":"statu"})"),
              R"({"ok":false,"error":"Unknown command: statu"})");
    EXPECT_EQ(dispatchCommand(R"({"command":"a\"b\u0001\n"})"),
              R"({"ok":false,"error":"Unknown command: a\"b?\n"})");
    EXPECT_EQ(dispatchCommand("{\"command\":\"x\x01\xC3\xA9\"}"),
              "{\"ok\":false,\"error\":\"Unknown command: x\\u0001\xC3\xA9\"}");
}

TEST_F(Dispatcher, ReadOnlyCommandsOnAFreshController) {
    EXPECT_EQ(dispatchCommand(R"({"command":"status"})"),
              R"({"ok":true,"status":"disconnected","activeProtocol":""})");
    EXPECT_EQ(dispatchCommand(R"({"command":"lastError"})"), R"({"ok":true,"error":""})");
    EXPECT_EQ(dispatchCommand(R"({"command":"trafficStats"})"),
              R"({"ok":true,"txBytes":0,"rxBytes":0})");
    EXPECT_EQ(dispatchCommand(R"({"command":"stop"})"), R"({"ok":true,"status":"disconnected"})");
    EXPECT_TRUE(announced.empty());
}

TEST_F(Dispatcher, ReadLogDeltaPassesDefaultsAndOddNumbersThrough) {
    EXPECT_EQ(dispatchCommand(R"({"command":"readLogDelta"})"),
              R"({"ok":true,"content":"","nextOffset":0,"fileSize":0})");
    EXPECT_EQ(
        dispatchCommand(R"({"command":"readLogDelta","source":"nope","offset":-5,"maxBytes":0})"),
        R"({"ok":true,"content":"","nextOffset":-5,"fileSize":0})");
    EXPECT_EQ(dispatchCommand(R"({"command":"readLogDelta","offset":"7"})"),
              R"({"ok":true,"content":"","nextOffset":0,"fileSize":0})");
}

TEST_F(Dispatcher, OutOfRangeNumberIsAnsweredAndReleasesTheLock) {
    const std::string request = R"({"command":"readLogDelta","offset":99999999999999999999})";
    EXPECT_THROW(dispatchCommand(request), std::out_of_range);
    ASSERT_TRUE(controllerMutex.try_lock());
    controllerMutex.unlock();
    EXPECT_EQ(answerRequest(request), R"({"ok":false,"error":"stoll argument out of range"})");
    EXPECT_EQ(answerRequest(R"({"command":"readLogDelta","maxBytes":-99999999999999999999})"),
              R"({"ok":false,"error":"stoll argument out of range"})");
    ASSERT_TRUE(controllerMutex.try_lock());
    controllerMutex.unlock();
}

TEST_F(Dispatcher, StartWithoutUsableConfigTouchesNothing) {
    for (const std::string request :
         {R"({"command":"startXray"})", R"({"command":"startXray","configJson":""})",
          R"({"command":"startXray","configJson":{"a":"b"}})",
          R"({"command":"startXray","configJson":5})"}) {
        EXPECT_EQ(dispatchCommand(request), R"({"ok":false,"error":"Missing Xray configJson"})")
            << request;
    }
    EXPECT_TRUE(announced.empty());
    EXPECT_EQ(controller->status(), "disconnected");
}

TEST_F(Dispatcher, FailedStartIsAnsweredWithTheLastError) {
    const std::string response =
        dispatchCommand(R"({"command":"startXray","configJson":"{}","dnsServers":[1]})");
    EXPECT_EQ(controller->status(), "error");
    ASSERT_FALSE(controller->lastError().empty());
    EXPECT_EQ(response, makeErrorResponse(controller->lastError()));
    EXPECT_EQ(announced, (std::vector<std::string>{"connecting", "error"}));
    // The failure survives a stop and is cleared by the next attempt only.
    EXPECT_EQ(dispatchCommand(R"({"command":"stop"})"), R"({"ok":true,"status":"disconnected"})");
    EXPECT_EQ(dispatchCommand(R"({"command":"lastError"})"),
              R"({"ok":true,"error":)" + std::string("\"") + controller->lastError() + "\"}");
}

TEST(ResponseBuilders, ExactShapes) {
    EXPECT_EQ(makeOkResponse(""), R"({"ok":true})");
    EXPECT_EQ(makeOkResponse(R"("a":1)"), R"({"ok":true,"a":1})");
    EXPECT_EQ(makeErrorResponse("x\"y"), R"({"ok":false,"error":"x\"y"})");
    EXPECT_EQ(makeErrorResponse(""), R"({"ok":false,"error":""})");
}

}  // namespace
}  // namespace halvern
