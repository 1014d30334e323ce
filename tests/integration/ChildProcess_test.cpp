// Starting, watching and stopping real children (our stand-ins for xray and tun2socks) without
// the SOCKS5 port: the launch primitives, the proxy core's files and the tunnel bridge.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ChildProcessFixture.h"
#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"

namespace halvern::testing {
namespace {

using ProxyCoreStart = ChildProcessTest;
using TunnelBridgeStart = ChildProcessTest;
using LaunchPrimitives = ChildProcessTest;

const std::string kConfigName = ProxyCoreProcess::kConfigFileName;
const std::string kCoreLog = ProxyCoreProcess::kLogFileName;
const std::string kBridgeLog = TunnelBridgeProcess::kLogFileName;

TEST_F(ProxyCoreStart, MissingExecutableIsReportedByItsErrorCode) {
    ProxyCoreProcess core((programs_.path() / programFileName("xray")).string());
    EXPECT_EQ(errorFrom([&] { core.start("{}"); }),
              "Failed to start " + programFileName("xray") + " (error 2)");
    // The configuration was written and the log created before the launch failed.
    EXPECT_EQ(core.processId(), 0U);
    EXPECT_TRUE(std::filesystem::exists(runtimeFile(kConfigName)));
    EXPECT_TRUE(std::filesystem::exists(runtimeFile(kCoreLog)));
    core.stop();
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kConfigName)));
    EXPECT_TRUE(std::filesystem::exists(runtimeFile(kCoreLog)));
}

TEST_F(ProxyCoreStart, UnwritableConfigurationStopsBeforeTheLaunch) {
    const std::string xray = installXray("hold");
    std::filesystem::create_directory(runtimeFile(kConfigName));
    ProxyCoreProcess core(xray);
    EXPECT_EQ(errorFrom([&] { core.start("{}"); }),
              "Failed to write Xray config to " + runtimeFile(kConfigName).string());
    EXPECT_EQ(core.configPath(), runtimeFile(kConfigName).string());
    EXPECT_EQ(core.processId(), 0U);
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kCoreLog)));
    core.stop();
    EXPECT_EQ(core.configPath(), "");
}

TEST_F(ProxyCoreStart, WritesTheConfigurationAndStopsCleanly) {
    const std::string xray = installXray("cwd;args");
    const std::string config = "{\n  \"log\": {}\n}\n";
    ProxyCoreProcess core(xray);
    core.start(config);
    const std::uint32_t pid = core.processId();
    ASSERT_NE(pid, 0U);

    // Windows stores the text in text mode, Linux byte for byte.
    const std::string stored = readFileBytes(runtimeFile(kConfigName));
    EXPECT_EQ(stored, onWindows() ? "{\r\n  \"log\": {}\r\n}\r\n" : config);

    // The child runs in its executable's directory on exactly the expected command line.
    const std::string configPath = runtimeFile(kConfigName).string();
    const std::string expected = programs_.path().string() + "\n" + "run -c " + configPath + "\n";
    EXPECT_EQ(waitForContent(runtimeFile(kCoreLog), expected), expected);

    core.stop();
    EXPECT_TRUE(processIsGone(pid));
    EXPECT_EQ(core.processId(), 0U);
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kConfigName)));
    EXPECT_EQ(readFileBytes(runtimeFile(kCoreLog)), expected);
    core.stop();
}

TEST_F(ProxyCoreStart, EmptyConfigurationIsWrittenAndStartedOn) {
    ProxyCoreProcess core(installXray("print up\\n"));
    core.start("");
    EXPECT_NE(core.processId(), 0U);
    EXPECT_TRUE(std::filesystem::exists(runtimeFile(kConfigName)));
    EXPECT_EQ(readFileBytes(runtimeFile(kConfigName)), "");
    EXPECT_EQ(waitForContent(runtimeFile(kCoreLog), "up\n"), "up\n");
}

TEST_F(ProxyCoreStart, ANewStartEmptiesTheLog) {
    const std::string xray = installXray("print first run\\n");
    {
        ProxyCoreProcess core(xray);
        core.start("{}");
        ASSERT_EQ(waitForContent(runtimeFile(kCoreLog), "first run\n"), "first run\n");
    }  // destruction stops the child
    writeFileBytes(programs_.path() / "xray.behaviour", "sleep 300;print second\\n");
    ProxyCoreProcess core(xray);
    core.start("{}");
    EXPECT_EQ(readFileBytes(runtimeFile(kCoreLog)), "");
    EXPECT_EQ(waitForContent(runtimeFile(kCoreLog), "second\n"), "second\n");
}

TEST_F(ProxyCoreStart, DestructionStopsTheChildAndDeletesTheConfiguration) {
    std::uint32_t pid = 0;
    {
        ProxyCoreProcess core(installXray("hold"));
        core.start("{}");
        pid = core.processId();
        ASSERT_NE(pid, 0U);
        ASSERT_FALSE(processIsGone(pid));
    }
    EXPECT_TRUE(processIsGone(pid));
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kConfigName)));
    EXPECT_TRUE(std::filesystem::exists(runtimeFile(kCoreLog)));
}

TEST_F(TunnelBridgeStart, MissingExecutableIsReportedByItsErrorCode) {
    TunnelBridgeProcess bridge((programs_.path() / programFileName("tun2socks")).string(), "");
    EXPECT_EQ(errorFrom([&] { bridge.start(10807); }),
              "Failed to start " + programFileName("tun2socks") + " (error 2)");
    EXPECT_EQ(bridge.processId(), 0U);
}

TEST_F(TunnelBridgeStart, ABridgeThatStaysUpIsStarted) {
    TunnelBridgeProcess bridge(installTun2socks("args;cwd"), "");
    const auto started = MonotonicClock::now();
    bridge.start(10807);
    EXPECT_GE(elapsedMilliseconds(started), 1500);
    const std::uint32_t pid = bridge.processId();
    ASSERT_NE(pid, 0U);
    const std::string expected = "-device tun://" + bridge.adapterName() +
                                 " -proxy socks5://127.0.0.1:10807\n" + programs_.path().string() +
                                 "\n";
    EXPECT_EQ(waitForContent(runtimeFile(kBridgeLog), expected), expected);
    bridge.stop();
    EXPECT_TRUE(processIsGone(pid));
    EXPECT_EQ(bridge.processId(), 0U);
    EXPECT_EQ(readFileBytes(runtimeFile(kBridgeLog)), expected);
    bridge.stop();
}

TEST_F(TunnelBridgeStart, ABridgeThatEndsEarlyIsReportedWithItsOutput) {
    TunnelBridgeProcess bridge(installTun2socks("print no adapter\\n;exit 5"), "");
    EXPECT_EQ(
        errorFrom([&] { bridge.start(10807); }),
        programFileName("tun2socks") + " exited prematurely with code 5 | output: no adapter\n");
    EXPECT_EQ(bridge.processId(), 0U);
}

TEST_F(TunnelBridgeStart, ASilentEarlyEndHasNoOutputPart) {
    TunnelBridgeProcess bridge(installTun2socks("exit 0"), "");
    EXPECT_EQ(errorFrom([&] { bridge.start(10807); }),
              programFileName("tun2socks") + " exited prematurely with code 0");
}

TEST_F(TunnelBridgeStart, TheOutputPartIsTheLast2048Bytes) {
    TunnelBridgeProcess bridge(installTun2socks("fill 5000;exit 1"), "");
    EXPECT_EQ(errorFrom([&] { bridge.start(10807); }),
              programFileName("tun2socks") + " exited prematurely with code 1 | output: " +
                  fillPattern(5000).substr(5000 - 2048));
}

TEST_F(TunnelBridgeStart, AnEndAfterTheCheckGoesUnnoticed) {
    TunnelBridgeProcess bridge(installTun2socks("sleep 2500;exit 1"), "");
    bridge.start(10807);
    EXPECT_NE(bridge.processId(), 0U);
}

TEST_F(TunnelBridgeStart, WithoutALogTheBridgeStartsAndErrorsCarryNoOutput) {
    std::filesystem::create_directory(runtimeFile(kBridgeLog));
    TunnelBridgeProcess bridge(installTun2socks("print lost\\n;exit 4"), "");
    EXPECT_EQ(errorFrom([&] { bridge.start(10807); }),
              programFileName("tun2socks") + " exited prematurely with code 4");
}

TEST_F(TunnelBridgeStart, CrashStatusIsReportedAsAnUnsignedNumber) {
    if (onWindows()) {
        TunnelBridgeProcess bridge(installTun2socks("print crash\\n;exit 0xC0000005"), "");
        EXPECT_EQ(errorFrom([&] { bridge.start(10807); }),
                  "tun2socks.exe exited prematurely with code 3221225477 | output: crash\n");
    } else {
        // On Linux a child killed by a signal reads as 128 + the signal number.
        TunnelBridgeProcess bridge(installTun2socks("raise 11"), "");
        EXPECT_EQ(errorFrom([&] { bridge.start(10807); }),
                  "tun2socks exited prematurely with code 139");
    }
}

TEST_F(TunnelBridgeStart, ExitCode259CountsAsRunning) {
    if (!onWindows()) {
        GTEST_SKIP() << "exit codes are 8 bits wide on Linux; 259 cannot occur";
    }
    TunnelBridgeProcess bridge(installTun2socks("exit 259"), "");
    bridge.start(10807);  // STILL_ACTIVE: taken for a running child
    const std::uint32_t pid = bridge.processId();
    ASSERT_NE(pid, 0U);
    EXPECT_TRUE(waitUntilGone(pid));
}

TEST_F(TunnelBridgeStart, DriverLibraryIsPlacedBesideTheBridge) {
    const std::string tun2socks = installTun2socks("hold");
    const auto target = programs_.path() / "wintun.dll";
    if (!onWindows()) {
        TunnelBridgeProcess bridge(tun2socks, "");
        bridge.start(10807);
        EXPECT_FALSE(std::filesystem::exists(target));
        return;
    }
    ScopedTempDirectory elsewhere;
    const auto source = elsewhere.path() / "wintun.dll";
    writeFileBytes(source, "driver v2");
    {
        TunnelBridgeProcess bridge(tun2socks, source.string());
        bridge.start(10807);
        EXPECT_EQ(readFileBytes(target), "driver v2");
    }
    EXPECT_EQ(readFileBytes(target), "driver v2");  // the copy stays after stop

    // One already there is kept, even when another is named.
    writeFileBytes(target, "driver v1");
    {
        TunnelBridgeProcess bridge(tun2socks, source.string());
        bridge.start(10807);
    }
    EXPECT_EQ(readFileBytes(target), "driver v1");

    // Nowhere at all: the bridge is started all the same.
    std::filesystem::remove(target);
    TunnelBridgeProcess bridge(tun2socks, (elsewhere.path() / "missing.dll").string());
    bridge.start(10807);
    EXPECT_NE(bridge.processId(), 0U);
    EXPECT_FALSE(std::filesystem::exists(target));
}

TEST_F(TunnelBridgeStart, AFailedDriverCopyStopsBeforeTheLog) {
    if (!onWindows()) {
        GTEST_SKIP() << "there is no driver library to copy on Linux";
    }
    ScopedTempDirectory elsewhere;
    const auto notAFile = elsewhere.path() / "wintun.dll";
    std::filesystem::create_directory(notAFile);
    TunnelBridgeProcess bridge(installTun2socks("hold"), notAFile.string());
    const std::string message = errorFrom([&] { bridge.start(10807); });
    EXPECT_EQ(message.rfind("Failed to copy " + notAFile.string() + " to " +
                                (programs_.path() / "wintun.dll").string() + " (error ",
                            0),
              0U)
        << message;
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kBridgeLog)));
    EXPECT_EQ(bridge.processId(), 0U);
}

TEST_F(LaunchPrimitives, AProcessThatEndedIsReapedAndKeepsItsCode) {
    const std::string tun2socks = installTun2socks("exit 3");
    ChildLogHandle log = ProcessLauncher::createChildLog("primitive.log");
    ChildProcessHandle child = ProcessLauncher::launchHidden(tunnelBridgeCommand(tun2socks, "x", 1),
                                                             tun2socks, log, "tun2socks");
    const std::uint32_t pid = ProcessLauncher::childProcessId(child);
    std::optional<std::uint32_t> code;
    for (int i = 0; i < 500 && !code; ++i) {
        sleepMilliseconds(20);
        code = ProcessLauncher::exitCodeIfExited(child);
    }
    EXPECT_EQ(code, 3U);
    EXPECT_TRUE(waitUntilGone(pid));                          // no zombie once the code is known
    EXPECT_EQ(ProcessLauncher::exitCodeIfExited(child), 3U);  // asked again: the same answer
    ProcessLauncher::terminateChild(child, log);
    EXPECT_FALSE(child.valid());
    EXPECT_FALSE(log.valid());
    ProcessLauncher::terminateChild(child, log);
}

}  // namespace
}  // namespace halvern::testing
