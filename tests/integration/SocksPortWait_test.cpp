// The proxy core's readiness wait on 127.0.0.1:10807 with a real child (our stand-in for xray,
// steered through the configuration text). Every case holds the machine-wide port lock.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "ChildProcessFixture.h"
#include "processes/ProxyCoreProcess.h"
#include "support/PortLock.h"

namespace halvern::testing {
namespace {

constexpr int kPort = ProxyCoreProcess::kSocksPort;

class SocksPortWait : public ChildProcessTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(waitUntilPortIsFree(kPort)) << "something outside the port lock holds 10807";
    }

    // A core whose stand-in follows `behaviour`; the message that waiting `timeoutMs` gives.
    std::string waitMessage(const std::string& behaviour, int timeoutMs) {
        ProxyCoreProcess core(install("xray"));
        core.start("{\"fakeBehaviour\": \"" + behaviour + "\", \"outbounds\": []}");
        return errorFrom([&] { core.waitForSocksPort(timeoutMs); });
    }

    const std::string timedOut_ =
        "Timed out waiting for " + programFileName("xray") + " SOCKS5 port 10807";
    const std::string exited_ = programFileName("xray") + " exited prematurely with code ";
    SocksPortLock lock_;
};

TEST_F(SocksPortWait, ReturnsOnceThePortOpensAndStopCleansUp) {
    ProxyCoreProcess core(install("xray"));
    core.start(R"({"fakeBehaviour": "print starting\n;sleep 400;listen 10807", "outbounds": [
        {"settings": {"vnext": [{"address": "192.0.2.1"}]}}]})");
    core.waitForSocksPort(10000);
    const std::uint32_t pid = core.processId();
    ASSERT_NE(pid, 0U);
    EXPECT_EQ(core.serverAddress(), "192.0.2.1");

    core.stop();
    EXPECT_TRUE(processIsGone(pid));
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(ProxyCoreProcess::kConfigFileName)));
    EXPECT_EQ(readFileBytes(runtimeFile(ProxyCoreProcess::kLogFileName)), "starting\n");
    EXPECT_EQ(core.serverAddress(), "");
}

TEST_F(SocksPortWait, AnEndOrATimeOutIsReportedWithTheEndOfTheOutput) {
    const std::string tail = fillPattern(10000).substr(10000 - 2048);
    const std::pair<std::string, std::string> cases[] = {
        {"print invalid config\\n;exit 23", exited_ + "23 | output: invalid config\n"},
        {"exit 7", exited_ + "7"},
        {"fill 10000;exit 1", exited_ + "1 | output: " + tail},
        {onWindows() ? "exit 0xC0000005" : "raise 11",
         exited_ + (onWindows() ? "3221225477" : "139")},
    };
    for (const auto& [behaviour, message] : cases) {
        EXPECT_EQ(waitMessage(behaviour, 10000), message);
    }
    // A core told to listen elsewhere never answers on 10807.
    EXPECT_EQ(waitMessage("listen 10808", 300), timedOut_);
}

TEST_F(SocksPortWait, TimingOutLeavesTheChildRunningAndReportsTheLast4096Bytes) {
    ProxyCoreProcess core(install("xray", "fill 10000;hold"));
    core.start("{}");
    ASSERT_EQ(waitForContent(runtimeFile(ProxyCoreProcess::kLogFileName), fillPattern(10000)),
              fillPattern(10000));
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(500); }),
              timedOut_ + " | output: " + fillPattern(10000).substr(10000 - 4096));
    const std::uint32_t pid = core.processId();
    EXPECT_FALSE(processIsGone(pid));
    core.stop();
    EXPECT_TRUE(processIsGone(pid));
}

TEST_F(SocksPortWait, ZeroTimeOutMakesExactlyOneAttempt) {
    // The child ends 100 ms after it starts: a second attempt, 200 ms after the first, would find
    // it ended and report that instead of the time-out.
    EXPECT_EQ(waitMessage("sleep 100;exit 9", 0), timedOut_);
    EXPECT_EQ(waitMessage("sleep 100;exit 9", -1), timedOut_);
}

TEST_F(SocksPortWait, APortHeldByAnotherProgramIsAcceptedAtOnce) {
    LoopbackListener other(kPort);
    ASSERT_TRUE(other.listening());
    ProxyCoreProcess core(install("xray", "exit 3"));
    core.start("{}");
    ASSERT_TRUE(waitFor([&] { return processHasEnded(core.processId()); }));
    // The connection attempt comes first in each pass, so even an ended core is not noticed.
    core.waitForSocksPort(0);
    core.waitForSocksPort(10000);
}

}  // namespace
}  // namespace halvern::testing
