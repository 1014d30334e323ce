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

TEST_F(HalvernctlWithServer, PrintsReadableAnswers) {
    ProgramRun run = halvernctl({"status"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "status: disconnected\n");

    run = halvernctl({"last-error"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "no error recorded\n");

    run = halvernctl({"stop"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "status: disconnected\n");

    run = halvernctl({"stats"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "sent: 0 bytes\nreceived: 0 bytes\n");

    run = halvernctl({"logs", "--source", "xray"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "");
}

TEST_F(HalvernctlWithServer, JsonPrintsTheAnswerUnchanged) {
    ProgramRun run = halvernctl({"--json", "status"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "{\"ok\":true,\"status\":\"disconnected\",\"activeProtocol\":\"\"}\n");

    run = halvernctl({"last-error", "--json"});
    EXPECT_EQ(run.output, "{\"ok\":true,\"error\":\"\"}\n");
}

TEST_F(HalvernctlWithServer, ErrorAnswersExitWithOne) {
    ProgramRun run = halvernctl({"raw", R"({"command":"Status"})"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "{\"ok\":false,\"error\":\"Unknown command: Status\"}\n");

    run = halvernctl({"raw", R"({"command":"status"})"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.output, "{\"ok\":true,\"status\":\"disconnected\",\"activeProtocol\":\"\"}\n");

    run = halvernctl({"raw", R"({"command":"readLogDelta","offset":99999999999999999999})"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "{\"ok\":false,\"error\":\"stoll argument out of range\"}\n");
}

TEST_F(Halvernctl, AnUnreachableServiceExitsWithTwoAndSaysWhy) {
    const ProgramRun run = halvernctl({"status"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.errors.find("not running"), std::string::npos) << run.errors;
}

TEST_F(Halvernctl, CommandLineMistakesAreUsageErrors) {
    for (const std::vector<std::string>& arguments :
         std::vector<std::vector<std::string>>{{},
                                               {"bogus"},
                                               {"start"},
                                               {"logs", "--source", "kernel"},
                                               {"stats", "--watch", "0"},
                                               {"status", "extra"}}) {
        const ProgramRun run = halvernctl(arguments);
        EXPECT_EQ(run.exitCode, 64) << run.errors;
        EXPECT_NE(run.errors.find("usage: halvernctl"), std::string::npos);
    }
}

}  // namespace
}  // namespace halvern::test
