// The proxy core's readiness wait on 127.0.0.1:10807 with a real child (our stand-in for xray,
// steered through the configuration text). Every case holds the machine-wide port lock.
#include <gtest/gtest.h>

#include <string>

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

    static std::string configWith(const std::string& behaviour) {
        return "{\"fakeBehaviour\": \"" + behaviour + "\", \"outbounds\": []}";
    }

    std::string xrayName() const { return programFileName("xray"); }
    std::string timedOut() const {
        return "Timed out waiting for " + xrayName() + " SOCKS5 port 10807";
    }
    std::string exited(std::uint32_t code) const {
        return xrayName() + " exited prematurely with code " + std::to_string(code);
    }

    SocksPortLock lock_;
};

TEST_F(SocksPortWait, ReturnsOnceThePortOpensAndStopCleansUp) {
    ProxyCoreProcess core(installXray());
    core.start(configWith("print starting\\n;sleep 400;listen 10807"));
    core.waitForSocksPort(10000);
    const std::uint32_t pid = core.processId();
    ASSERT_NE(pid, 0U);

    core.stop();
    EXPECT_TRUE(processIsGone(pid));
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(ProxyCoreProcess::kConfigFileName)));
    EXPECT_EQ(readFileBytes(runtimeFile(ProxyCoreProcess::kLogFileName)), "starting\n");
    EXPECT_EQ(core.serverAddress(), "");
}

TEST_F(SocksPortWait, AChildThatEndsIsReportedWithTheEndOfItsOutput) {
    ProxyCoreProcess core(installXray());
    core.start(configWith("print invalid config\\n;exit 23"));
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(10000); }),
              exited(23) + " | output: invalid config\n");
    EXPECT_NE(core.processId(), 0U);  // the record still holds the ended child until stop
}

TEST_F(SocksPortWait, ASilentEndHasNoOutputPart) {
    ProxyCoreProcess core(installXray());
    core.start(configWith("exit 7"));
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(10000); }), exited(7));
}

TEST_F(SocksPortWait, AnEndReportsTheLast2048BytesOfOutput) {
    ProxyCoreProcess core(installXray());
    core.start(configWith("fill 10000;exit 1"));
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(10000); }),
              exited(1) + " | output: " + fillPattern(10000).substr(10000 - 2048));
}

TEST_F(SocksPortWait, ACrashReadsAsAnUnsignedNumber) {
    ProxyCoreProcess core(installXray());
    if (onWindows()) {
        core.start(configWith("exit 0xC0000005"));
        EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(10000); }), exited(3221225477U));
    } else {
        core.start(configWith("raise 11"));
        EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(10000); }), exited(139));
    }
}

TEST_F(SocksPortWait, TimingOutLeavesTheChildRunningAndReportsTheLast4096Bytes) {
    ProxyCoreProcess core(installXray());
    core.start(configWith("fill 10000;hold"));
    ASSERT_EQ(waitForContent(runtimeFile(ProxyCoreProcess::kLogFileName), fillPattern(10000)),
              fillPattern(10000));
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(500); }),
              timedOut() + " | output: " + fillPattern(10000).substr(10000 - 4096));
    const std::uint32_t pid = core.processId();
    EXPECT_FALSE(processIsGone(pid));
    core.stop();
    EXPECT_TRUE(processIsGone(pid));
}

TEST_F(SocksPortWait, ASilentTimeOutHasNoOutputPart) {
    // A core told to listen elsewhere never answers on 10807.
    ProxyCoreProcess core(installXray());
    core.start(configWith("listen 10808"));
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(300); }), timedOut());
}

TEST_F(SocksPortWait, ZeroTimeOutMakesExactlyOneAttempt) {
    // The child ends 100 ms after it starts: a second attempt, 200 ms after the first, would find
    // it ended and report that instead of the time-out.
    ProxyCoreProcess core(installXray());
    core.start(configWith("sleep 100;exit 9"));
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(0); }), timedOut());
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(-1); }), timedOut());
}

TEST_F(SocksPortWait, APortHeldByAnotherProgramIsAcceptedAtOnce) {
    LoopbackListener other(kPort);
    ASSERT_TRUE(other.listening());
    ProxyCoreProcess core(installXray());
    core.start(configWith("exit 3"));
    ASSERT_TRUE(waitUntilGone(core.processId(), false));
    // The connection attempt comes first in each pass, so even an ended core is not noticed.
    core.waitForSocksPort(0);
    core.waitForSocksPort(10000);
}

TEST_F(SocksPortWait, ExitCode259CountsAsRunning) {
    if (!onWindows()) {
        GTEST_SKIP() << "exit codes are 8 bits wide on Linux; 259 cannot occur";
    }
    ProxyCoreProcess core(installXray());
    core.start(configWith("exit 259"));
    ASSERT_TRUE(waitUntilGone(core.processId(), false));
    EXPECT_EQ(errorFrom([&] { core.waitForSocksPort(300); }), timedOut());
}

}  // namespace
}  // namespace halvern::testing
