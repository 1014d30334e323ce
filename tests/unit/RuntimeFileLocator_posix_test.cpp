#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "support/TestSupport.h"
#include "tunnel/RuntimeFileLocator.h"

namespace halvern {
namespace {

TEST(RuntimeFileLocatorPosix, LinksCountByTheirTargetAndOtherFailuresNameThePath) {
    const testing::ScopedTempDirectory scratch;
    const auto dir = scratch.path();
    std::filesystem::create_directory(dir / "data");
    testing::writeFileBytes(dir / "real-xray", "core");
    // A dangling link in "data" is no installed program: the copy beside the executable wins.
    std::filesystem::create_symlink(dir / "gone", dir / "data" / "xray");
    std::filesystem::create_symlink(dir / "real-xray", dir / "xray");
    EXPECT_EQ(locateRuntimeFileIn(dir, "xray"), (dir / "xray").string());
    const std::string longName(400, 'x');
    EXPECT_EQ(locateRuntimeFileIn(dir, longName), longName);

    std::filesystem::remove(dir / "data" / "xray");
    std::filesystem::create_symlink(dir / "data" / "xray", dir / "data" / "xray");  // a loop
    try {
        locateRuntimeFileIn(dir, "xray");
        FAIL() << "a link loop must not count as absent";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()),
                  "Failed to check " + (dir / "data" / "xray").string() + " (error 40)");
    }
}

}  // namespace
}  // namespace halvern
