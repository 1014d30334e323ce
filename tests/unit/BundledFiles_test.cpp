#include "tunnel/BundledFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/TestSupport.h"

namespace halvern {
namespace {

TEST(BundledFiles, DataFolderFirstThenBesideThenBareNameAndFailuresNameThePath) {
    const testing::ScopedTempDirectory scratch;
    const auto& dir = scratch.path();
    EXPECT_EQ(locateBundledFileIn(dir, "xray.exe"), "xray.exe");
    // "data" being a file is no folder: absence, not a failure, and the search goes on.
    testing::writeFileBytes(dir / "data", "not a folder");
    testing::writeFileBytes(dir / "xray.exe", "beside");
    EXPECT_EQ(locateBundledFileIn(dir, "xray.exe"), (dir / "xray.exe").string());
    std::filesystem::remove(dir / "data");
    std::filesystem::create_directories(dir / "data" / "tun2socks.exe");
    testing::writeFileBytes(dir / "data" / "xray.exe", "in data");
    EXPECT_EQ(locateBundledFileIn(dir, "xray.exe"), (dir / "data" / "xray.exe").string());
    // An entry of any type counts, even a directory named like the file.
    EXPECT_EQ(locateBundledFileIn(dir, "tun2socks.exe"), (dir / "data" / "tun2socks.exe").string());
    // Names that cannot exist (invalid on Windows) and missing folders are absent.
    EXPECT_EQ(locateBundledFileIn(dir, "x<y.exe"), "x<y.exe");
    EXPECT_EQ(locateBundledFileIn(dir / "no such folder", "xray.exe"), "xray.exe");
    if (testing::kOnWindows) {
        // A program that users could replace or plant is never started.
        testing::letEveryoneChange(dir / "data");
        EXPECT_EQ(testing::errorFrom([&] { locateBundledFileIn(dir, "xray.exe"); }),
                  "Refusing to start " + (dir / "data" / "xray.exe").string() +
                      ": users other than SYSTEM and the administrators may change " +
                      (dir / "data").string());
        return;  // links need a privilege there, and the failure codes differ
    }
    // Links count by their target; too long a name is absent; other failures name the path.
    testing::writeFileBytes(dir / "real-xray", "core");
    std::filesystem::create_symlink(dir / "gone", dir / "data" / "xray");
    std::filesystem::create_symlink(dir / "real-xray", dir / "xray");
    EXPECT_EQ(locateBundledFileIn(dir, "xray"), (dir / "xray").string());
    EXPECT_EQ(locateBundledFileIn(dir, std::string(400, 'x')), std::string(400, 'x'));

    std::filesystem::remove(dir / "data" / "xray");
    std::filesystem::create_symlink(dir / "data" / "xray", dir / "data" / "xray");  // a loop
    EXPECT_EQ(testing::errorFrom([&] { locateBundledFileIn(dir, "xray"); }),
              "Failed to check " + (dir / "data" / "xray").string() + " (error 40)");
}

}  // namespace
}  // namespace halvern
