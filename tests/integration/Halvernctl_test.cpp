// halvernctl as a user runs it: a separate process (on Windows a separate Wine process) talking
// to the server over the real endpoint.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integration/ControlTestSupport.h"

namespace halvern::test {
namespace {

class Halvernctl : public ::testing::Test {
  protected:
    ProgramRun halvernctl(const std::vector<std::string>& arguments) {
        std::vector<std::string> command{halvernctlPath().string()};
        command.insert(command.end(), arguments.begin(), arguments.end());
        return runCaptured(directory_.path(), command);
    }

    TestRuntimeDirectory directory_;
};

class HalvernctlWithServer : public Halvernctl {
  protected:
    ServerThread server_;
};

TEST_F(HalvernctlWithServer, ReadableAndRawAnswersAndTheirExitCodes) {
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        std::string output;
    } cases[] = {
        {{"status"}, 0, "status: disconnected\n"},
        {{"last-error"}, 0, "no error recorded\n"},
        {{"stop"}, 0, "status: disconnected\n"},
        {{"stats"}, 0, "sent: 0 bytes\nreceived: 0 bytes\n"},
        {{"logs", "--source", "xray"}, 0, ""},
        {{"--json", "status"},
         0,
         R"({"ok":true,"status":"disconnected","activeProtocol":""})"
         "\n"},
        {{"last-error", "--json"},
         0,
         R"({"ok":true,"error":""})"
         "\n"},
        {{"raw", R"({"command":"Status"})"},
         1,
         R"({"ok":false,"error":"Unknown command: Status"})"
         "\n"},
        {{"raw", R"({"command":"readLogDelta","offset":99999999999999999999})"},
         1,
         R"({"ok":false,"error":"stoll argument out of range"})"
         "\n"},
    };
    for (const auto& c : cases) {
        const ProgramRun run = halvernctl(c.arguments);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.arguments.front() << ": " << run.errors;
        EXPECT_EQ(run.output, c.output);
    }
}

TEST_F(Halvernctl, UnreachableServiceExitsWithTwoAndUsageMistakesWith64) {
    const ProgramRun run = halvernctl({"status"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.errors.find("not running"), std::string::npos) << run.errors;
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"bogus"},
                                               {"start"},
                                               {"logs", "--source", "kernel"},
                                               {"stats", "--watch", "0"},
                                               {"status", "extra"}}) {
        const ProgramRun mistake = halvernctl(arguments);
        EXPECT_EQ(mistake.exitCode, 64) << mistake.errors;
        EXPECT_NE(mistake.errors.find("usage: halvernctl"), std::string::npos);
    }
}

}  // namespace
}  // namespace halvern::test
