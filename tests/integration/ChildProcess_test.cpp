// Starting, watching and stopping real children (our stand-ins for xray and tun2socks).
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
    EXPECT_FALSE(std::filesystem::exists(runtimeFile(kCoreLog)));
}

TEST_F(ProxyCoreStart, RunsOnItsConfigurationAndStopOrDestructionEndsIt) {
    const std::string config = "{\n  \"log\": {}\n}\n";
    const std::string expected =
        programs_.path().string() + "\nrun -c " + runtimeFile(kConfigName).string() + "\n";
    std::uint32_t pid = 0;
    {
        ProxyCoreProcess core(install("xray", "cwd;args"));
        core.start(config);
        pid = core.processId();
        ASSERT_NE(pid, 0U);
        // Windows stores the text in text mode, Linux byte for byte.
        EXPECT_EQ(readFileBytes(runtimeFile(kConfigName)),
                  onWindows() ? "{\r\n  \"log\": {}\r\n}\r\n" : config);
        EXPECT_EQ(waitForContent(runtimeFile(kCoreLog), expected), expected);
        core.stop();
        EXPECT_TRUE(processHasEnded(pid));
        EXPECT_EQ(core.processId(), 0U);
        EXPECT_FALSE(std::filesystem::exists(runtimeFile(kConfigName)));
        EXPECT_EQ(readFileBytes(runtimeFile(kCoreLog)), expected);

        writeFileBytes(programs_.path() / "xray.behaviour", "sleep 300;print second\\n");
        core.start("{}");
        pid = core.processId();
        EXPECT_EQ(readFileBytes(runtimeFile(kCoreLog)), "");  // a new start empties the log
        EXPECT_EQ(waitForContent(runtimeFile(kCoreLog), "second\n"), "second\n");
    }
    EXPECT_TRUE(processHasEnded(pid));
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
    EXPECT_TRUE(processHasEnded(pid));
    EXPECT_EQ(bridge.processId(), 0U);
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
        // STILL_ACTIVE on Windows, taken for a running child; 8 bits (3) on Linux.
        {"exit 259", onWindows() ? "<no error>" : ended + "3"},
    };
    for (const auto& [behaviour, message] : cases) {
        TunnelBridgeProcess bridge(install("tun2socks", behaviour), "");
        EXPECT_EQ(errorFrom([&] { bridge.start(10807); }), message);
        EXPECT_EQ(bridge.processId() == 0U, message != "<no error>");
    }
    ScopedTempDirectory empty;
    TunnelBridgeProcess missing((empty.path() / name).string(), "");
    EXPECT_EQ(errorFrom([&] { missing.start(10807); }), "Failed to start " + name + " (error 2)");
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
    // A copy that fails stops the start before the log is created. Wine lets go of the stopped
    // child's copy of the log a moment after the stop.
    std::filesystem::remove(target);
    EXPECT_TRUE(waitFor([&] {
        std::error_code error;
        std::filesystem::remove(runtimeFile(kBridgeLog), error);
        return !error;
    }));
    std::filesystem::remove(source);
    std::filesystem::create_directory(source);
    const std::string message =
        errorFrom([&] { TunnelBridgeProcess(tun2socks, source.string()).start(10807); });
    EXPECT_EQ(message.rfind("Failed to copy " + source.string() + " to " + target.string(), 0), 0U)
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

// When the service dies, Windows ends the whole tree through the child's job. On Linux the
// parent-death signal ends the child alone; what it started lives on in its process group until
// the next start's recovery ends that group (under systemd the unit's control group does).
TEST_F(ChildTree, WhatAChildStartedEndsWithItsStopAndWithTheService) {
    TunnelBridgeProcess wrapper(install("tun2socks", "spawn"), "");
    wrapper.start(10807);
    ASSERT_TRUE(waitFor([&] { return pidsIn(runtimeFile(kBridgeLog)).size() == 1; }));
    wrapper.stop();
    EXPECT_TRUE(waitFor([&] { return processHasEnded(pidsIn(runtimeFile(kBridgeLog))[0]); }));

    // A stand-in for the service launches a copy of itself as the service launches its children,
    // and the copy starts one more, as a wrapper would. It runs under the children's unprivileged
    // account and must create its log here.
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
    EXPECT_EQ(onWindows() ? waitFor([&] { return processHasEnded(grandchild); })
                          : processHasEnded(grandchild),
              onWindows());
    EXPECT_EQ(endRecordedProcess(child, childMark),
              onWindows() ? RecordedProcessOutcome::alreadyGone : RecordedProcessOutcome::ended);
    EXPECT_TRUE(processHasEnded(grandchild));
}

}  // namespace
}  // namespace halvern::testing
