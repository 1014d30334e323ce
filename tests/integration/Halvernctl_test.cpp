// halvernctl as a user runs it: a process of its own talking to the server's real endpoint.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integration/ControlTestSupport.h"

namespace halvern::test {
namespace {

class Halvernctl : public ::testing::Test {
  protected:
    ProgramRun halvernctl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), halvernctlPath().string());
        return runCaptured(directory_.files.path(), arguments);
    }

    TestRuntimeDirectory directory_;
};

TEST_F(Halvernctl, ReadableAndRawAnswersAndTheirExitCodes) {
    const ServerThread server;
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        std::string output;
    } cases[] = {
        {{"status"}, 0, "status: disconnected\n"},
        {{"last-error"}, 0, "no error recorded\n"},
        {{"stats"}, 0, "sent: 0 bytes\nreceived: 0 bytes\n"},
        {{"logs", "--source", "xray"}, 0, ""},
        {{"--json", "status"}, 0, R"({"ok":true,"status":"disconnected","activeProtocol":""})"},
        {{"last-error", "--json"}, 0, R"({"ok":true,"error":""})"},
        {{"raw", R"({"command":"Status"})"},
         1,
         R"({"ok":false,"error":"Unknown command: Status"})"},
    };
    for (const auto& c : cases) {
        const ProgramRun run = halvernctl(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments.front() << ": " << run.errors;
        EXPECT_EQ(run.output, c.output + (c.output.starts_with('{') ? "\n" : ""));
    }
}

TEST_F(Halvernctl, UnreachableServiceExitsWithTwoAndUsageMistakesWith64) {
    const ProgramRun run = halvernctl({"stats", "--watch", "5"});  // even a watch ends at once
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.errors.find("not running"), std::string::npos) << run.errors;
    const std::string readable = halvernctlPath().string();  // any file will do as --config
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"bogus"},
                                               {"start"},
                                               {"start", "--config"},
                                               {"start", "--config", readable, "--bogus", "x"},
                                               {"logs", "--source", "kernel"},
                                               {"stats", "--watch", "0"},
                                               {"stats", "--watch", "1x"},
                                               {"stats", "--watch", "1000000"},
                                               {"stats", "bogus"},
                                               {"status", "extra"}}) {
        const ProgramRun mistake = halvernctl(arguments);
        EXPECT_EQ(mistake.exitCode, 64) << mistake.errors;
        EXPECT_NE(mistake.errors.find("usage: halvernctl"), std::string::npos);
    }
}

}  // namespace
}  // namespace halvern::test
