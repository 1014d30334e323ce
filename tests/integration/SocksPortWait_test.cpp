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

class SocksPortWait : public ChildProcessTest {
  protected:
    void SetUp() override {
        ASSERT_TRUE(waitUntilPortIsFree(ProxyCoreProcess::kSocksPort)) << "10807 is held";
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
    EXPECT_EQ(core.serverAddress(), "192.0.2.1");
    core.stop();
    EXPECT_EQ(readFileBytes(runtimeFile(ProxyCoreProcess::kLogFileName)), "starting\n");
    EXPECT_EQ(core.serverAddress(), "");
}

TEST_F(SocksPortWait, AnEndOrATimeOutIsReportedWithTheEndOfTheOutput) {
    const std::pair<std::string, std::string> cases[] = {
        {"print invalid config\\n;exit 23", exited_ + "23 | output: invalid config\n"},
        {"fill 10000;exit 1", exited_ + "1 | output: " + fillPattern(10000).substr(10000 - 2048)},
        {onWindows() ? "exit 0xC0000005" : "raise 11",
         exited_ + (onWindows() ? "3221225477" : "139")},
    };
    for (const auto& [behaviour, message] : cases) {
        EXPECT_EQ(waitMessage(behaviour, 10000), message);
    }
    EXPECT_EQ(waitMessage("listen 10808", 300), timedOut_);
    // The child ends 100 ms after it starts: a second attempt, 200 ms after the first, would find
    // it ended and report that instead of the time-out.
    EXPECT_EQ(waitMessage("sleep 100;exit 9", 0), timedOut_);
}

TEST_F(SocksPortWait, TimingOutLeavesTheChildRunningAndReportsTheLast4096Bytes) {
    ProxyCoreProcess core(install("xray", "fill 10000;hold"));
    core.start("{}");
    ASSERT_EQ(waitForContent(runtimeFile(ProxyCoreProcess::kLogFileName), fillPattern(10000)),
              fillPattern(10000));
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(500); }),
              timedOut_ + " | output: " + fillPattern(10000).substr(10000 - 4096));
    EXPECT_FALSE(processHasEnded(core.processId()));
}

}  // namespace
}  // namespace halvern::testing
