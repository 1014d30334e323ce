#include "tunnel/RuntimeFileLocator.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/ExecutablePath.h"
#include "processes/ProcessLauncher.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

class RuntimeFileLocatorTest : public ::testing::Test {
  protected:
    std::filesystem::path dir() const { return scratch_.path(); }
    std::string found(const std::filesystem::path& path) const { return path.string(); }

    testing::ScopedTempDirectory scratch_;
};

TEST_F(RuntimeFileLocatorTest, DataFolderFirstThenBesideThenBareName) {
    EXPECT_EQ(locateRuntimeFileIn(dir(), "xray.exe"), "xray.exe");

    testing::writeFileBytes(dir() / "xray.exe", "beside");
    EXPECT_EQ(locateRuntimeFileIn(dir(), "xray.exe"), found(dir() / "xray.exe"));

    std::filesystem::create_directory(dir() / "data");
    EXPECT_EQ(locateRuntimeFileIn(dir(), "xray.exe"), found(dir() / "xray.exe"));
    testing::writeFileBytes(dir() / "data" / "xray.exe", "in data");
    EXPECT_EQ(locateRuntimeFileIn(dir(), "xray.exe"), found(dir() / "data" / "xray.exe"));

    // Each name is looked up on its own.
    EXPECT_EQ(locateRuntimeFileIn(dir(), "tun2socks.exe"), "tun2socks.exe");
}

TEST_F(RuntimeFileLocatorTest, AnEntryOfAnyTypeCounts) {
    std::filesystem::create_directories(dir() / "data" / "tun2socks.exe");
    testing::writeFileBytes(dir() / "tun2socks.exe", "beside");
    EXPECT_EQ(locateRuntimeFileIn(dir(), "tun2socks.exe"), found(dir() / "data" / "tun2socks.exe"));
}

TEST_F(RuntimeFileLocatorTest, ADataFileIsNoFolderAndIsPassedOver) {
    // "data" being a file makes the first candidate's parent not a directory: that is absence,
    // not a failure, and the search goes on.
    testing::writeFileBytes(dir() / "data", "not a folder");
    testing::writeFileBytes(dir() / "wintun.dll", "library");
    EXPECT_EQ(locateRuntimeFileIn(dir(), "wintun.dll"), found(dir() / "wintun.dll"));
}

TEST_F(RuntimeFileLocatorTest, NamesThatCannotExistAreAbsent) {
    // Not a valid name on Windows (invalid name), a missing one elsewhere: absent either way.
    EXPECT_EQ(locateRuntimeFileIn(dir(), "x<y.exe"), "x<y.exe");
    EXPECT_EQ(locateRuntimeFileIn(dir() / "no such folder", "xray.exe"), "xray.exe");
}

TEST(RuntimeFileLocator, SearchesBesideTheRunningExecutable) {
    const auto exeDir = executablePath().parent_path();
    ASSERT_FALSE(exeDir.empty());
    const std::string name = "halvern-locator-probe-" +
                             std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                             ".bin";
    std::filesystem::create_directories(exeDir / "data");
    testing::writeFileBytes(exeDir / name, "probe");
    EXPECT_EQ(locateRuntimeFile(name), (exeDir / name).string());
    testing::writeFileBytes(exeDir / "data" / name, "probe");
    EXPECT_EQ(locateRuntimeFile(name), (exeDir / "data" / name).string());
    std::filesystem::remove(exeDir / "data" / name);
    std::filesystem::remove(exeDir / name);
    EXPECT_EQ(locateRuntimeFile(name), name);
}

}  // namespace
}  // namespace halvern
