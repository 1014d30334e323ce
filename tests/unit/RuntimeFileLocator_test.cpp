#include "tunnel/RuntimeFileLocator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/ExecutablePath.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

TEST(RuntimeFileLocator, DataFolderFirstThenBesideThenBareName) {
    const testing::ScopedTempDirectory scratch;
    const auto dir = scratch.path();
    EXPECT_EQ(locateRuntimeFileIn(dir, "xray.exe"), "xray.exe");
    // "data" being a file is no folder: absence, not a failure, and the search goes on.
    testing::writeFileBytes(dir / "data", "not a folder");
    testing::writeFileBytes(dir / "xray.exe", "beside");
    EXPECT_EQ(locateRuntimeFileIn(dir, "xray.exe"), (dir / "xray.exe").string());
    std::filesystem::remove(dir / "data");
    std::filesystem::create_directory(dir / "data");
    testing::writeFileBytes(dir / "data" / "xray.exe", "in data");
    EXPECT_EQ(locateRuntimeFileIn(dir, "xray.exe"), (dir / "data" / "xray.exe").string());
    // An entry of any type counts, even a directory named like the file.
    std::filesystem::create_directories(dir / "data" / "tun2socks.exe");
    EXPECT_EQ(locateRuntimeFileIn(dir, "tun2socks.exe"), (dir / "data" / "tun2socks.exe").string());
    // Names that cannot exist (invalid on Windows) and missing folders are absent.
    EXPECT_EQ(locateRuntimeFileIn(dir, "x<y.exe"), "x<y.exe");
    EXPECT_EQ(locateRuntimeFileIn(dir / "no such folder", "xray.exe"), "xray.exe");
}

TEST(RuntimeFileLocator, SearchesBesideTheRunningExecutable) {
    const auto exeDir = executablePath().parent_path();
    const std::string name = "halvern-locator-probe-" +
                             std::to_string(::testing::UnitTest::GetInstance()->random_seed());
    std::filesystem::create_directories(exeDir / "data");
    testing::writeFileBytes(exeDir / "data" / name, "probe");
    EXPECT_EQ(locateRuntimeFile(name), (exeDir / "data" / name).string());
    std::filesystem::remove(exeDir / "data" / name);
    EXPECT_EQ(locateRuntimeFile(name), name);
}

}  // namespace
}  // namespace halvern
