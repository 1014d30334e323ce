#include "processes/ProcessLauncher.h"

#include <gtest/gtest.h>

#include <string>

#include "processes/TunnelBridgeProcess.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

using testing::fillPattern;
using testing::ScopedRuntimeDirectory;
using testing::writeFileBytes;

TEST(LogTail, ReturnsTheLastBytesUntouchedFromTheCurrentTemporaryDirectory) {
    ScopedRuntimeDirectory runtime;
    const std::string big = fillPattern(9999) + "\xE2";  // ends inside a UTF-8 sequence
    writeFileBytes(runtime.path() / "big.log", big);
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 2048), big.substr(big.size() - 2048));
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 20000), big);
    EXPECT_EQ(ProcessLauncher::readLogTail("missing.log", 2048), "");
    {
        ScopedRuntimeDirectory second;  // the directory is read afresh on every call
        EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 100), "");
    }
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 1), "\xE2");
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
