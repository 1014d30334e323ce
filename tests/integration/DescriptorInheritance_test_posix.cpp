// Linux only: the children get their standard streams and nothing else of the service's, even
// descriptors opened without close-on-exec; the service's own files are private to it.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "ChildProcessFixture.h"
#include "common/UniqueFd.h"
#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"

namespace halvern::testing {
namespace {

using DescriptorInheritance = ChildProcessTest;

unsigned modeOf(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777U : ~0U;
}

TEST_F(DescriptorInheritance, ChildrenSeeOnlyTheirStandardStreams) {
    const UniqueFd plain{::open("/dev/null", O_RDONLY)};  // NOLINT(android-cloexec-open)
    const UniqueFd socket{::socket(AF_INET, SOCK_STREAM, 0)};
    ASSERT_TRUE(plain.valid() && socket.valid());
    ProxyCoreProcess core(install("xray", "fds"));
    core.start("{}");
    // The bridge starts while the service still holds the core's log: it must not get a copy.
    TunnelBridgeProcess bridge(install("tun2socks", "fds"), "");
    bridge.start(10807);
    for (const std::string name :
         {ProxyCoreProcess::kLogFileName, TunnelBridgeProcess::kLogFileName}) {
        const std::string log = std::filesystem::canonical(runtimeFile(name)).string();
        const std::string expected = "fds: 0=/dev/null 1=" + log + " 2=" + log + "\n";
        EXPECT_EQ(waitForContent(log, expected), expected);
        EXPECT_EQ(modeOf(log), 0640U);
    }
    EXPECT_EQ(modeOf(runtimeFile(ProxyCoreProcess::kConfigFileName)), 0600U);
}

TEST_F(DescriptorInheritance, ASymlinkNeverRedirectsTheConfiguration) {
    ScopedTempDirectory elsewhere;
    writeFileBytes(elsewhere.path() / "victim", "untouched");
    const auto config = runtimeFile(ProxyCoreProcess::kConfigFileName);
    std::filesystem::create_symlink(elsewhere.path() / "victim", config);
    ProxyCoreProcess core(install("xray", "hold"));
    EXPECT_EQ(errorFrom([&] { core.start("{\"secret\":1}"); }),
              "Failed to write Xray config to " + config.string());
    EXPECT_EQ(readFileBytes(elsewhere.path() / "victim"), "untouched");
}

}  // namespace
}  // namespace halvern::testing
