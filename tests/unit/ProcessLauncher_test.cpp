#include "processes/ProcessLauncher.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

using testing::fillPattern;
using testing::ScopedRuntimeDirectory;
using testing::writeFileBytes;

TEST(ExitMessage, AddsTheOutputPartOnlyForATail) {
    EXPECT_EQ(ProcessLauncher::exitMessage("xray exited prematurely with code ", 23, ""),
              "xray exited prematurely with code 23");
    EXPECT_EQ(ProcessLauncher::exitMessage("xray exited prematurely with code ", 23, "bad\r\n"),
              "xray exited prematurely with code 23 | output: bad\r\n");
    // A crash status is an unsigned 32-bit number, never a negative one.
    EXPECT_EQ(ProcessLauncher::exitMessage("c ", std::uint32_t{0xC0000005}, ""), "c 3221225477");
    EXPECT_EQ(ProcessLauncher::exitMessage("port ", -1, " "), "port -1 | output:  ");
}

TEST(LogTail, ReturnsTheLastBytesUntouched) {
    ScopedRuntimeDirectory runtime;
    const std::string big = fillPattern(9999) + "\xE2";  // ends inside a UTF-8 sequence
    writeFileBytes(runtime.path() / "big.log", big);
    const std::string tail = ProcessLauncher::readLogTail("big.log", 2048);
    EXPECT_EQ(tail.size(), 2048U);
    EXPECT_EQ(tail, big.substr(big.size() - 2048));
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 4096), big.substr(big.size() - 4096));
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 20000), big);

    writeFileBytes(runtime.path() / "small.log", fillPattern(100));
    EXPECT_EQ(ProcessLauncher::readLogTail("small.log", 2048), fillPattern(100));
    EXPECT_EQ(ProcessLauncher::readLogTail("small.log", 0), "");

    writeFileBytes(runtime.path() / "empty.log", "");
    EXPECT_EQ(ProcessLauncher::readLogTail("empty.log", 2048), "");
    EXPECT_EQ(ProcessLauncher::readLogTail("missing.log", 2048), "");
}

TEST(LogTail, FollowsTheTemporaryDirectoryOnEveryCall) {
    ScopedRuntimeDirectory first;
    writeFileBytes(first.path() / "x.log", "first");
    EXPECT_EQ(ProcessLauncher::readLogTail("x.log", 100), "first");
    {
        ScopedRuntimeDirectory second;
        EXPECT_EQ(ProcessLauncher::tempFilePath("x.log"), second.path() / "x.log");
        EXPECT_EQ(ProcessLauncher::readLogTail("x.log", 100), "");
    }
    EXPECT_EQ(ProcessLauncher::readLogTail("x.log", 100), "first");
}

TEST(ChildLog, CreatingEmptiesAnEarlierLog) {
    ScopedRuntimeDirectory runtime;
    writeFileBytes(runtime.path() / "child.log", "left over from the last run");
    {
        ChildLogHandle log = ProcessLauncher::createChildLog("child.log");
        ASSERT_TRUE(log.valid());
        EXPECT_EQ(ProcessLauncher::readLogTail("child.log", 100), "");
    }
    // A directory in the way makes the log fail quietly.
    std::filesystem::create_directory(runtime.path() / "blocked.log");
    EXPECT_FALSE(ProcessLauncher::createChildLog("blocked.log").valid());
}

TEST(ChildCommands, AreExactlyWhatThePlatformsGetToSee) {
    const ChildCommand core =
        proxyCoreCommand("C:\\Svc\\data\\xray.exe", "C:\\Windows\\Temp\\halvern_xray_config.json");
    EXPECT_EQ(core.commandLine,
              "\"C:\\Svc\\data\\xray.exe\" run -c \"C:\\Windows\\Temp\\halvern_xray_config.json\"");
    EXPECT_EQ(core.argv, (std::vector<std::string>{"C:\\Svc\\data\\xray.exe", "run", "-c",
                                                   "C:\\Windows\\Temp\\halvern_xray_config.json"}));

    const ChildCommand bridge =
        tunnelBridgeCommand("C:\\Svc\\data\\tun2socks.exe", "Halvern_Tun_4312", 10807);
    EXPECT_EQ(bridge.commandLine,
              "\"C:\\Svc\\data\\tun2socks.exe\" -device tun://Halvern_Tun_4312 -proxy "
              "socks5://127.0.0.1:10807");
    EXPECT_EQ(bridge.argv, (std::vector<std::string>{"C:\\Svc\\data\\tun2socks.exe", "-device",
                                                     "tun://Halvern_Tun_4312", "-proxy",
                                                     "socks5://127.0.0.1:10807"}));
    EXPECT_EQ(tunnelBridgeCommand("t", "a", -5).argv.back(), "socks5://127.0.0.1:-5");
}

TEST(AdapterName, CarriesTheServiceProcessIdAndStaysTheSame) {
    const std::string pid = std::to_string(ProcessLauncher::currentProcessId());
    const TunnelBridgeProcess first("tun2socks", "");
    const TunnelBridgeProcess second("other", "wintun.dll");
    EXPECT_EQ(first.adapterName(), second.adapterName());
    EXPECT_EQ(first.adapterName().rfind("Halvern", 0), 0U);
    const std::string expected =
        (ProcessLauncher::executableFileName("x") == "x.exe" ? "Halvern_Tun_" : "Halvern_") + pid;
    EXPECT_EQ(first.adapterName(), expected);
    // Linux interface names are at most 15 bytes.
    if (ProcessLauncher::executableFileName("x") == "x") {
        EXPECT_LE(first.adapterName().size(), 15U);
    }
}

TEST(ChildRecords, StoppingWhatNeverStartedChangesNothing) {
    ProxyCoreProcess core("xray");
    core.stop();
    core.stop();
    EXPECT_EQ(core.processId(), 0U);
    EXPECT_EQ(core.configPath(), "");
    TunnelBridgeProcess bridge("tun2socks", "");
    bridge.stop();
    bridge.stop();
    EXPECT_EQ(bridge.processId(), 0U);
    EXPECT_EQ(bridge.trafficStats().txBytes, 0U);
    EXPECT_EQ(bridge.trafficStats().rxBytes, 0U);
}

}  // namespace
}  // namespace halvern
