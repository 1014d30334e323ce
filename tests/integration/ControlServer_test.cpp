// Who may connect is ControlAccess_test.cpp's: POSIX only, as Wine does not enforce the DACL.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <sstream>
#include <string>
#include <vector>

#include "common/MonotonicClock.h"
#include "common/SessionNames.h"
#include "integration/ControlTestSupport.h"

namespace halvern::test {
namespace {

const std::string kStatusAnswer = R"({"ok":true,"status":"disconnected","activeProtocol":""})";
const std::string kMissingCommand = R"({"ok":false,"error":"Missing command"})";
const std::string kStatus = "{\"command\":\"status\"}\n";
constexpr std::size_t kMiB = 1048576;

std::string unknownCommand(std::size_t length, char filler) {
    return R"({"command":")" + std::string(length, filler) + R"("})";
}

class ControlEndpoint : public ::testing::Test {
  protected:
    // halvernctl as a user runs it: a process of its own talking to the server's real endpoint.
    ProgramRun halvernctl(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), halvernctlPath().string());
        return runCaptured(arguments);
    }

    TestRuntimeDirectory directory_;
    ServerThread server_;
};

TEST_F(ControlEndpoint, TheRequestIsTheFirstLineUpToTheLimit) {
    const std::string unknown = R"({"ok":false,"error":"Unknown command: )";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"command":"status"})", kStatusAnswer},  // the end of the message ends it
        {kStatus + std::string(200000, 'x'), kStatusAnswer},
        {"{}\n" + kStatus, kMissingCommand},
        {R"({"command":")" + std::string(4096, 'a') + "\n" + kStatus, kMissingCommand},  // unclosed
        // A dispatcher exception is answered and serving goes on.
        {R"({"command":"readLogDelta","offset":99999999999999999999})",
         R"({"ok":false,"error":"stoll argument out of range"})"},
        {unknownCommand(200000, 'x'), unknown + std::string(200000, 'x') + "\"}"},  // all of it
        // Cut at the limit; the server drains up to a MiB more, so these end cleanly.
        {unknownCommand(kMiB + kMiB / 2, 'y'), kMissingCommand},
        {R"({"command":"status","pad":")" + std::string(kMiB + kMiB / 2, 'z') + "\"}\n",
         kStatusAnswer},
    };
    for (const auto& [request, answer] : cases) {
        const std::string received = exchange(request);
        EXPECT_TRUE(received == answer)  // not EXPECT_EQ: a failure would print megabytes
            << request.substr(0, 60) << " got " << received.substr(0, 200);
    }
}

// A silent client, and one that never reads a large answer, hold the server a bounded time.
TEST_F(ControlEndpoint, StalledClientsDelayOthersByLessThanFiveSeconds) {
    {
        TestClient silent;
        auto silentAnswer = std::async(std::launch::async, [&] { return silent.receiveAll(); });
        const auto start = MonotonicClock::now();
        EXPECT_EQ(exchange(kStatus), kStatusAnswer);
        EXPECT_LT(elapsedMilliseconds(start), 5000);
        EXPECT_EQ(silentAnswer.get(), kMissingCommand);  // answered as an empty request
    }
    TestClient deaf;
    deaf.send(unknownCommand(900000, 'q') + "\n");  // answered with ~900 kB, never read
    const auto start = MonotonicClock::now();
    EXPECT_EQ(exchange(kStatus), kStatusAnswer);
    EXPECT_LT(elapsedMilliseconds(start), 5000);
}

TEST_F(ControlEndpoint, AStopWhileASilentClientHoldsTheServerEndsWithinTheBound) {
    TestClient silent;
    auto silentAnswer = std::async(std::launch::async, [&] { return silent.receiveAll(); });
    sleepMilliseconds(200);  // until the server has left the previous client behind
    const auto start = MonotonicClock::now();
    server_.stop();
    EXPECT_LT(elapsedMilliseconds(start), 5000);
    // The stop's own wake-up waits behind the silent client, which is told the news.
    EXPECT_EQ(silentAnswer.get(), R"({"ok":true,"status":"disconnecting"})");
}

// A reader that stops after 32 MiB of a long answer holds neither the controller's lock nor a stop.
TEST_F(ControlEndpoint, AStalledLogReaderHoldsNoLockAndNoStop) {
    if (testing::kOnWindows) {
        GTEST_SKIP() << "the pipe's answers are bounded pieces, written whole";
    }
    const auto log = directory_.files.path() / session::kCoreLogFileName;
    testing::writeFileBytes(log, "");
    std::filesystem::resize_file(log, 64 * kMiB);  // sparse: each zero byte becomes six
    for (const bool stop : {false, true}) {
        TestClient reader;
        reader.send(R"({"command":"readLogDelta","source":"windows_xray","maxBytes":4294967295})");
        EXPECT_EQ(reader.receiveAll(32 * kMiB).substr(0, 28), R"({"ok":true,"content":"\u0000)");
        const auto start = MonotonicClock::now();
        if (stop) {
            server_.service().disconnect();  // the stop sequence, under the controller's lock
            server_.stop();
        } else {
            EXPECT_EQ(exchange(kStatus), kStatusAnswer);
        }
        EXPECT_LT(elapsedMilliseconds(start), 5000) << stop;
    }
}

TEST_F(ControlEndpoint, HalvernctlGivesReadableAndRawAnswersAndTheirExitCodes) {
    if (testing::kOnWindows) {
        // The test's own pipe server is not the SCM's service: refused as a squatter would be.
        const ProgramRun run = halvernctl({"status"});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.errors.find("but HalvernService is not running"), std::string::npos);
        return;
    }
    const struct {
        std::vector<std::string> arguments;
        int exitCode;
        std::string output;
    } cases[] = {
        {{"status"}, 0, "status: disconnected\n"},
        {{"last-error"}, 0, "no error recorded\n"},
        {{"stats"}, 0, "sent: 0 bytes\nreceived: 0 bytes\n"},
        {{"session"}, 0, "uplink: none\nrestarts: xray 0, tun2socks 0\n"},
        {{"logs", "--source", "xray"}, 0, ""},
        {{"--json", "status"}, 0, kStatusAnswer},
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

TEST_F(ControlEndpoint, HalvernctlExitsWithTwoUnreachedAndWith64OnUsageMistakes) {
    server_.stop();  // its socket or pipe goes with it
    const ProgramRun run = halvernctl({"stats", "--watch", "5"});  // even a watch ends at once
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.errors.find("not running"), std::string::npos) << run.errors;
    const std::string readable = halvernctlPath().string();  // any file will do as --config
    for (const std::string line :
         {"", "bogus", "start", "start --config", "start --config @ --bogus x",
          "logs --source kernel", "stats --watch 0", "stats --watch 1x", "stats --watch 1000000",
          "stats bogus", "status extra"}) {
        std::vector<std::string> arguments;  // @ is the readable file
        std::istringstream words(line);
        for (std::string word; words >> word;) {
            arguments.push_back(word == "@" ? readable : word);
        }
        const ProgramRun mistake = halvernctl(arguments);
        EXPECT_EQ(mistake.exitCode, 64) << mistake.errors;
        EXPECT_NE(mistake.errors.find("usage: halvernctl"), std::string::npos);
    }
}

}  // namespace
}  // namespace halvern::test
