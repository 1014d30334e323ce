// Who may connect is ControlAccess_test.cpp's: POSIX only, as Wine does not enforce the DACL.
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "common/MonotonicClock.h"
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
    TestRuntimeDirectory directory_;
    ServerThread server_;
};

TEST_F(ControlEndpoint, TheRequestIsTheFirstLineUpToTheLimit) {
    const std::string unknown = R"({"ok":false,"error":"Unknown command: )";
    const std::pair<std::string, std::string> cases[] = {
        {R"({"command":"status"})", kStatusAnswer},  // the end of the message ends it
        {kStatus + std::string(200000, 'x'), kStatusAnswer},
        {"{}\n" + kStatus, kMissingCommand},
        // A command literal left open by the end of the line.
        {R"({"command":")" + std::string(4096, 'a') + "\n" + kStatus, kMissingCommand},
        // A dispatcher exception is answered and serving goes on.
        {R"({"command":"readLogDelta","offset":99999999999999999999})",
         R"({"ok":false,"error":"stoll argument out of range"})"},
        // Larger than every buffer on the way, yet whole.
        {unknownCommand(200000, 'x'), unknown + std::string(200000, 'x') + "\"}"},
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

}  // namespace
}  // namespace halvern::test
