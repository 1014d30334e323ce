// The control endpoint as clients meet it: the real pipe (Windows) or socket (POSIX), a server
// thread run and stopped as the service runs it, and raw clients.
//
// Under Wine the pipe's DACL is converted and applied but not enforced (every process is the
// same user and counts as an administrator), so who may open the pipe is not tested there; the
// POSIX peer check is tested in ControlAccess_test.cpp.
#include "control/ControlPipeServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>
#include <string>
#include <vector>

#include "common/MonotonicClock.h"
#include "control/CommandDispatcher.h"
#include "control/ServiceState.h"
#include "integration/ControlTestSupport.h"

namespace halvern::test {
namespace {

const std::string kStatusAnswer = R"({"ok":true,"status":"disconnected","activeProtocol":""})";
const std::string kMissingCommand = R"({"ok":false,"error":"Missing command"})";
const std::string kDisconnecting = R"({"ok":true,"status":"disconnecting"})";

std::string unknownCommandOfSize(std::size_t totalBytes, char filler) {
    const std::string head = R"({"command":")";
    const std::string tail = R"("})";
    return head + std::string(totalBytes - head.size() - tail.size(), filler) + tail;
}

class ControlEndpoint : public ::testing::Test {
  protected:
    TestRuntimeDirectory directory_;
    ServerThread server_;
};

TEST_F(ControlEndpoint, OnlyTheFirstLineOfAMessageIsARequest) {
    // No line feed at all: the message (POSIX: the stream) ends the request.
    EXPECT_EQ(exchange(R"({"command":"status"})"), kStatusAnswer);
    EXPECT_EQ(exchange("{\"command\":\"status\"}\n{\"command\":\"stop\"}\n"), kStatusAnswer);
    // Far more behind the line than the server reads: still the answer, then a clean end.
    EXPECT_EQ(exchange("{\"command\":\"status\"}\n" + std::string(200000, 'x')), kStatusAnswer);
    // A command that sits only on the second line is never seen.
    EXPECT_EQ(exchange("{}\n{\"command\":\"status\"}\n"), kMissingCommand);
    // A dispatcher exception is answered and serving goes on.
    EXPECT_EQ(exchange("{\"command\":\"readLogDelta\",\"offset\":99999999999999999999}\n"),
              R"({"ok":false,"error":"stoll argument out of range"})");
}

// A command literal that never closes, at lengths around every block size a scanner might step
// by, with nothing, a line feed, or a line feed and more text behind it.
TEST_F(ControlEndpoint, UnclosedCommandLiteralsAreMissingCommands) {
    std::vector<std::size_t> lengths(71);
    std::iota(lengths.begin(), lengths.end(), std::size_t{0});
    lengths.insert(lengths.end(), {127, 128, 129, 255, 256, 4095, 4096});
    for (const std::size_t length : lengths) {
        for (const std::string& tail :
             {std::string(), std::string("\n"), "\n" + std::string(20000, 'b')}) {
            const std::string request = R"({"command":")" + std::string(length, 'a') + tail;
            SCOPED_TRACE(std::to_string(length) + " bytes, tail of " + std::to_string(tail.size()));
            EXPECT_EQ(dispatchCommand(request), kMissingCommand);
            EXPECT_EQ(exchange(request), kMissingCommand);
            EXPECT_EQ(exchange("{\"command\":\"status\"}\n"), kStatusAnswer);
        }
    }
}

TEST_F(ControlEndpoint, ARequestLargerThanEveryBufferArrivesWhole) {
    const std::string request = unknownCommandOfSize(200000, 'x');
    const std::string answer = exchange(request);
    const std::string expected =
        R"({"ok":false,"error":"Unknown command: )" + std::string(200000 - 14, 'x') + "\"}";
    EXPECT_EQ(answer.size(), expected.size());
    EXPECT_TRUE(answer == expected);  // not EXPECT_EQ: a failure would print 400 kB
}

TEST_F(ControlEndpoint, OverLimitRequestsAreCutAtTheLimit) {
    // The closing quote lies beyond the limit, so the command string never ends.
    EXPECT_EQ(exchange(unknownCommandOfSize(std::size_t{2} * 1048576, 'y')), kMissingCommand);
    // What was gathered up to the limit is still the request.
    const std::string padded =
        R"({"command":"status","pad":")" + std::string(std::size_t{2} * 1048576, 'z') + "\"}\n";
    EXPECT_EQ(exchange(padded), kStatusAnswer);
}

// A client that connects and stays silent, and one that never reads a large answer, each hold
// the server only for a bounded time; the next client is then served.
TEST_F(ControlEndpoint, StalledClientsDelayOthersByLessThanFiveSeconds) {
    {
        TestClient silent;
        ASSERT_TRUE(silent.connected());
        auto silentAnswer =
            std::async(std::launch::async, [&silent] { return silent.receiveAll(); });
        const auto start = MonotonicClock::now();
        EXPECT_EQ(exchange("{\"command\":\"status\"}\n"), kStatusAnswer);
        EXPECT_LT(elapsedMilliseconds(start), 5000);
        // Once its time was up, the silent client was answered as an empty request.
        EXPECT_EQ(silentAnswer.get(), kMissingCommand);
    }
    {
        TestClient deaf;
        ASSERT_TRUE(deaf.connected());
        deaf.send(unknownCommandOfSize(900000, 'q') + "\n");  // answered with ~900 kB, never read
        const auto start = MonotonicClock::now();
        EXPECT_EQ(exchange("{\"command\":\"status\"}\n"), kStatusAnswer);
        EXPECT_LT(elapsedMilliseconds(start), 5000);
    }
}

TEST(ControlEndpointStop, AStopWhileASilentClientHoldsTheServerEndsWithinTheBound) {
    TestRuntimeDirectory directory;
    ServerThread server;
    TestClient silent;
    ASSERT_TRUE(silent.connected());
    auto silentAnswer = std::async(std::launch::async, [&silent] { return silent.receiveAll(); });
    sleepMilliseconds(200);  // on POSIX, until the server has taken the queued connection
    const auto start = MonotonicClock::now();
    server.stop();
    EXPECT_LT(elapsedMilliseconds(start), 5000);
    // The stop's own wake-up connection had to wait (POSIX) or found the pipe busy (Windows);
    // the silent client, answered at the end of its time, carried the news.
    EXPECT_EQ(silentAnswer.get(), kDisconnecting);
}

}  // namespace
}  // namespace halvern::test
