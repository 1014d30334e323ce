// Starting, watching and stopping real children (our stand-ins for xray and tun2socks) without
// the SOCKS5 port: the launch primitives, the proxy core's files and the tunnel bridge.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>

#include "ChildProcessFixture.h"
#include "common/ProcessIdentity.h"
#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"

namespace halvern::testing {
namespace {

using ProxyCoreStart = ChildProcessTest;
using TunnelBridgeStart = ChildProcessTest;
using ChildTree = ChildProcessTest;

const std::string kConfigName = ProxyCoreProcess::kConfigFileName;
const std::string kCoreLog = ProxyCoreProcess::kLogFileName;
const std::string kBridgeLog = TunnelBridgeProcess::kLogFileName;

TEST_F(ProxyCoreStart, MissingExecutableOrUnwritableConfigurationIsReported) {
    ProxyCoreProcess missing((programs_.path() / programFileName("xray")).string());
    EXPECT_EQ(errorFrom([&] { missing.start("{}"); }),
              "Failed to start " + programFileName("xray") + " (error 2)");
    EXPECT_EQ(missing.processId(), 0U);
    missing.stop();  // the configuration goes, the log stays
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kConfigName)));
    EXPECT_TRUE(std::filesystem::exists(runtimeFile(kCoreLog)));

    std::filesystem::remove(runtimeFile(kCoreLog));
    std::filesystem::create_directory(runtimeFile(kConfigName));
    ProxyCoreProcess core(install("xray", "hold"));
    EXPECT_EQ(errorFrom([&] { core.start("{}"); }),
              "Failed to write Xray config to " + runtimeFile(kConfigName).string());
    EXPECT_EQ(core.processId(), 0U);
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kCoreLog)));
}

TEST_F(ProxyCoreStart, WritesTheConfigurationAndStopsCleanly) {
    const std::string config = "{\n  \"log\": {}\n}\n";
    ProxyCoreProcess core(install("xray", "cwd;args"));
    core.start(config);
    const std::uint32_t pid = core.processId();
    ASSERT_NE(pid, 0U);
    // Windows stores the text in text mode, Linux byte for byte.
    EXPECT_EQ(readFileBytes(runtimeFile(kConfigName)),
              onWindows() ? "{\r\n  \"log\": {}\r\n}\r\n" : config);
    // The child runs in its executable's directory on exactly the expected command line.
    const std::string expected =
        programs_.path().string() + "\nrun -c " + runtimeFile(kConfigName).string() + "\n";
    EXPECT_EQ(waitForContent(runtimeFile(kCoreLog), expected), expected);

    core.stop();
    EXPECT_TRUE(processIsGone(pid));
    EXPECT_EQ(core.processId(), 0U);
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kConfigName)));
    EXPECT_EQ(readFileBytes(runtimeFile(kCoreLog)), expected);
}

TEST_F(ProxyCoreStart, DestructionStopsTheChildAndANewStartEmptiesTheLog) {
    const std::string xray = install("xray", "print first run\\n");
    std::uint32_t pid = 0;
    {
        ProxyCoreProcess core(xray);
        core.start("{}");
        pid = core.processId();
        ASSERT_EQ(waitForContent(runtimeFile(kCoreLog), "first run\n"), "first run\n");
    }
    EXPECT_TRUE(processIsGone(pid));
    writeFileBytes(programs_.path() / "xray.behaviour", "sleep 300;print second\\n");
    ProxyCoreProcess core(xray);
    core.start("{}");
    EXPECT_EQ(readFileBytes(runtimeFile(kCoreLog)), "");
    EXPECT_EQ(waitForContent(runtimeFile(kCoreLog), "second\n"), "second\n");
}

TEST_F(TunnelBridgeStart, ABridgeThatStaysUpIsStarted) {
    TunnelBridgeProcess bridge(install("tun2socks", "args;cwd"), "");
    const auto started = MonotonicClock::now();
    bridge.start(10807);
    EXPECT_GE(elapsedMilliseconds(started), 1500);  // it had time to fail first
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
}

TEST_F(TunnelBridgeStart, AnEarlyEndIsReportedWithTheLast2048BytesOfOutput) {
    const std::string name = programFileName("tun2socks");
    const std::string ended = name + " exited prematurely with code ";
    const std::pair<std::string, std::string> cases[] = {
        {"print no adapter\\n;exit 5", ended + "5 | output: no adapter\n"},
        {"exit 0", ended + "0"},
        {"fill 5000;exit 1", ended + "1 | output: " + fillPattern(5000).substr(5000 - 2048)},
        // Windows reports a crash status as an unsigned number; Linux a signal as 128 + it.
        {onWindows() ? "print crash\\n;exit 0xC0000005" : "raise 11",
         onWindows() ? ended + "3221225477 | output: crash\n" : ended + "139"},
    };
    for (const auto& [behaviour, message] : cases) {
        TunnelBridgeProcess bridge(install("tun2socks", behaviour), "");
        EXPECT_EQ(errorFrom([&] { bridge.start(10807); }), message);
        EXPECT_EQ(bridge.processId(), 0U);
    }
    // Without a log the output part is left out.
    std::filesystem::remove(runtimeFile(kBridgeLog));
    std::filesystem::create_directory(runtimeFile(kBridgeLog));
    TunnelBridgeProcess bridge(install("tun2socks", "print lost\\n;exit 4"), "");
    EXPECT_EQ(errorFrom([&] { bridge.start(10807); }), ended + "4");

    ScopedTempDirectory empty;
    TunnelBridgeProcess missing((empty.path() / name).string(), "");
    EXPECT_EQ(errorFrom([&] { missing.start(10807); }), "Failed to start " + name + " (error 2)");
}

TEST_F(TunnelBridgeStart, ExitCode259CountsAsRunning) {
    if (!onWindows()) {
        GTEST_SKIP() << "exit codes are 8 bits wide on Linux; 259 cannot occur";
    }
    TunnelBridgeProcess bridge(install("tun2socks", "exit 259"), "");
    bridge.start(10807);  // STILL_ACTIVE: taken for a running child
    const std::uint32_t pid = bridge.processId();
    ASSERT_NE(pid, 0U);
    EXPECT_TRUE(waitFor([&] { return processIsGone(pid); }));
}

TEST_F(TunnelBridgeStart, DriverLibraryIsCopiedBesideTheBridge) {
    if (!onWindows()) {
        GTEST_SKIP() << "there is no driver library to copy on Linux";
    }
    const std::string tun2socks = install("tun2socks", "hold");
    const auto target = programs_.path() / "wintun.dll";
    ScopedTempDirectory elsewhere;
    const auto source = elsewhere.path() / "wintun.dll";
    writeFileBytes(source, "driver v2");
    TunnelBridgeProcess(tun2socks, source.string()).start(10807);
    EXPECT_EQ(readFileBytes(target), "driver v2");  // and the copy stays after stop
    // A copy that fails stops the start before the log is created.
    std::filesystem::remove(target);
    // Wine lets go of the stopped child's copy of the log a moment after the stop.
    EXPECT_TRUE(waitFor([&] {
        std::error_code error;
        std::filesystem::remove(runtimeFile(kBridgeLog), error);
        return !error;
    }));
    std::filesystem::remove(source);
    std::filesystem::create_directory(source);
    TunnelBridgeProcess bridge(tun2socks, source.string());
    const std::string message = errorFrom([&] { bridge.start(10807); });
    EXPECT_EQ(message.rfind(
                  "Failed to copy " + source.string() + " to " + target.string() + " (error ", 0),
              0U)
        << message;
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kBridgeLog)));
}

// The ids that the stand-ins' "pid" step wrote to a log, in order.
std::vector<std::uint32_t> pidsIn(const std::filesystem::path& log) {
    std::vector<std::uint32_t> pids;
    std::istringstream lines(readFileBytes(log));
    for (std::string word, pid; lines >> word >> pid;) {
        pids.push_back(static_cast<std::uint32_t>(std::stoul(pid)));
    }
    return pids;
}

// What a child starts ends with the child's stop, and with the service. When the service dies,
// Windows ends the whole tree through the child's job. On Linux the kernel's parent-death signal
// ends the child alone, and what it started lives on in its process group until the next
// start's recovery ends that group (under systemd the unit's control group ends it at once).
TEST_F(ChildTree, WhatAChildStartedEndsWithItsStopAndWithTheService) {
    TunnelBridgeProcess wrapper(install("tun2socks", "spawn"), "");
    wrapper.start(10807);
    ASSERT_TRUE(waitFor([&] { return pidsIn(runtimeFile(kBridgeLog)).size() == 1; }));
    const std::uint32_t started = pidsIn(runtimeFile(kBridgeLog))[0];
    wrapper.stop();
    EXPECT_TRUE(waitFor([&] { return processHasEnded(started); }));

    // A stand-in for the service launches a copy of itself as the service launches its children,
    // and the copy starts one more, as a wrapper would.
    // The stand-in runs under the children's unprivileged account and must create its log here.
    std::filesystem::permissions(runtimeFile(""), std::filesystem::perms::all);
    TunnelBridgeProcess service(install("tun2socks", "launch"), "");
    service.start(10807);
    const auto tree = runtimeFile("halvern_fake_tree.log");
    ASSERT_TRUE(waitFor([&] { return pidsIn(tree).size() == 2; }));
    const std::uint32_t child = pidsIn(tree)[0];
    const std::uint32_t grandchild = pidsIn(tree)[1];
    const std::string childMark = processStartMark(child);
    killProcess(service.processId());
    EXPECT_TRUE(waitFor([&] { return processHasEnded(child); }));
    if (onWindows()) {
        EXPECT_TRUE(waitFor([&] { return processHasEnded(grandchild); }));
    } else {
        EXPECT_FALSE(processHasEnded(grandchild));
    }
    EXPECT_EQ(endRecordedProcess(child, childMark),
              onWindows() ? RecordedProcessOutcome::alreadyGone : RecordedProcessOutcome::ended);
    EXPECT_TRUE(processHasEnded(grandchild));
}

}  // namespace
}  // namespace halvern::testing
