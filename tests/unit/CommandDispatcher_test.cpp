#include "control/CommandDispatcher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "control/JsonText.h"
#include "control/TunnelService.h"
#include "processes/SessionFiles.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

const std::string kMissingCommand = R"({"ok":false,"error":"Missing command"})";

TEST(Dispatcher, MalformedRequestsAndAFailedStartGetTheirErrorAnswers) {
    TunnelService service;
    EXPECT_EQ(dispatchCommand(service, R"({"comand":"status"})"), kMissingCommand);
    for (const std::string command : {"bogus", "readLogDelta"}) {
        EXPECT_EQ(dispatchCommand(service, R"({"command":")" + command + "\"}"),
                  R"({"ok":false,"error":"HalvernService is not initialized"})");
    }
    const testing::ScopedRuntimeDirectory runtimeDirectory;  // a start really writes files
    const testing::ScopedJournalPlace journal;
    service.setController(
        std::make_unique<TunnelController>([](const std::string&) {}, journal.path()));
    // Without "maxBytes" a read takes at most 64 KiB.
    testing::writeFileBytes(tempFilePath("halvern_xray_output.log"), std::string(65537, 'x'));
    // A start that fails the same way everywhere: a directory where its configuration goes.
    const auto config = tempFilePath("halvern_xray_config.json").string();
    std::filesystem::create_directory(config);
    const std::string error = R"("Failed to write Xray config to )" + escapeJson(config) + "\"";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"command":5})", kMissingCommand},
        {R"({"command":"readLogDelta"})",
         R"({"ok":true,"content":"","nextOffset":0,"fileSize":0})"},
        {R"({"command":"readLogDelta","source":"nope","offset":-5,"maxBytes":0})",
         R"({"ok":true,"content":"","nextOffset":-5,"fileSize":0})"},
        {R"({"command":"startXray","configJson":""})",
         R"({"ok":false,"error":"Missing Xray configJson"})"},
        {R"({"command":"readLogDelta","source":"windows_xray"})",
         R"({"ok":true,"content":")" + std::string(65536, 'x') +
             R"(","nextOffset":65536,"fileSize":65537})"},
        {R"({"command":"startXray","configJson":"{}","dnsServers":[1]})",
         R"({"ok":false,"error":)" + error + "}"},
        // The failure outlives a stop; only the next attempt clears it.
        {R"({"command":"stop"})", R"({"ok":true,"status":"disconnected"})"},
        {R"({"command":"lastError"})", R"({"ok":true,"error":)" + error + "}"},
    };
    for (const auto& [request, answer] : cases) {
        EXPECT_EQ(dispatchCommand(service, request), answer) << request;
    }
}

}  // namespace
}  // namespace halvern
