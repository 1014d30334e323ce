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
}

TEST(LogTail, ReturnsTheLastBytesUntouchedFromTheCurrentTemporaryDirectory) {
    ScopedRuntimeDirectory runtime;
    const std::string big = fillPattern(9999) + "\xE2";  // ends inside a UTF-8 sequence
    writeFileBytes(runtime.path() / "big.log", big);
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 2048), big.substr(big.size() - 2048));
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 20000), big);
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 0), "");
    EXPECT_EQ(ProcessLauncher::readLogTail("missing.log", 2048), "");
    {
        ScopedRuntimeDirectory second;  // the directory is read afresh on every call
        EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 100), "");
    }
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 1), "\xE2");
}

TEST(ChildLog, CreatingEmptiesAnEarlierLogAndFailsQuietly) {
    ScopedRuntimeDirectory runtime;
    writeFileBytes(runtime.path() / "child.log", "left over from the last run");
    EXPECT_TRUE(ProcessLauncher::createChildLog("child.log").valid());
    EXPECT_EQ(ProcessLauncher::readLogTail("child.log", 100), "");
    std::filesystem::create_directory(runtime.path() / "blocked.log");
    EXPECT_FALSE(ProcessLauncher::createChildLog("blocked.log").valid());
}

TEST(ChildCommands, QuoteThePathsOnTheWindowsCommandLine) {
    EXPECT_EQ(proxyCoreCommand("C:\\S d\\xray.exe", "C:\\T\\c.json").commandLine,
              "\"C:\\S d\\xray.exe\" run -c \"C:\\T\\c.json\"");
    EXPECT_EQ(tunnelBridgeCommand("C:\\S d\\tun2socks.exe", "Halvern_Tun_4312", 10807).commandLine,
              "\"C:\\S d\\tun2socks.exe\" -device tun://Halvern_Tun_4312 -proxy "
              "socks5://127.0.0.1:10807");
}

TEST(AdapterName, CarriesTheServiceProcessId) {
    const std::string pid = std::to_string(ProcessLauncher::currentProcessId());
    const TunnelBridgeProcess bridge("tun2socks", "");
    if (ProcessLauncher::executableFileName("x") == "x.exe") {
        EXPECT_EQ(bridge.adapterName(), "Halvern_Tun_" + pid);
    } else {
        EXPECT_EQ(bridge.adapterName(), "Halvern_" + pid);
        EXPECT_LE(bridge.adapterName().size(), 15U);  // Linux interface names
    }
}

}  // namespace
}  // namespace halvern
