// Linux only: the children get their standard streams and nothing else of the service's, even
// descriptors that were opened without close-on-exec.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "ChildProcessFixture.h"
#include "common/UniqueFd.h"
#include "processes/ProxyCoreProcess.h"
#include "processes/TunnelBridgeProcess.h"

namespace halvern::testing {
namespace {

using DescriptorInheritance = ChildProcessTest;

std::string expectedDescriptors(const std::filesystem::path& log) {
    const std::string target = std::filesystem::canonical(log).string();
    return "fds: 0=/dev/null 1=" + target + " 2=" + target + "\n";
}

TEST_F(DescriptorInheritance, ChildrenSeeOnlyTheirStandardStreams) {
    // Descriptors a careless library might hold, none of them close-on-exec.
    const UniqueFd plain{::open("/dev/null", O_RDONLY)};  // NOLINT(android-cloexec-open)
    const UniqueFd socket{::socket(AF_INET, SOCK_STREAM, 0)};
    ASSERT_TRUE(plain.valid() && socket.valid());

    ProxyCoreProcess core(install("xray", "fds"));
    core.start("{}");
    const auto coreLog = runtimeFile(ProxyCoreProcess::kLogFileName);
    EXPECT_EQ(waitForContent(coreLog, expectedDescriptors(coreLog)), expectedDescriptors(coreLog));
    // The configuration and the log are the service's alone.
    struct stat config {};
    ASSERT_EQ(::lstat(runtimeFile(ProxyCoreProcess::kConfigFileName).c_str(), &config), 0);
    EXPECT_EQ(config.st_mode & 07777, 0600U);
    struct stat log {};
    ASSERT_EQ(::lstat(coreLog.c_str(), &log), 0);
    EXPECT_EQ(log.st_mode & 07777, 0640U);

    // The bridge starts while the service still holds the core's log: it must not get a copy.
    TunnelBridgeProcess bridge(install("tun2socks", "fds"), "");
    bridge.start(10807);
    const auto bridgeLog = runtimeFile(TunnelBridgeProcess::kLogFileName);
    EXPECT_EQ(waitForContent(bridgeLog, expectedDescriptors(bridgeLog)),
              expectedDescriptors(bridgeLog));
}

TEST_F(DescriptorInheritance, ASymlinkNeverRedirectsTheConfiguration) {
    ScopedTempDirectory elsewhere;
    const auto victim = elsewhere.path() / "victim";
    writeFileBytes(victim, "untouched");
    std::filesystem::create_symlink(victim, runtimeFile(ProxyCoreProcess::kConfigFileName));
    ProxyCoreProcess core(install("xray", "hold"));
    EXPECT_EQ(errorFrom([&] { core.start("{\"secret\":1}"); }),
              "Failed to write Xray config to " +
                  runtimeFile(ProxyCoreProcess::kConfigFileName).string());
    EXPECT_EQ(core.processId(), 0U);
    EXPECT_EQ(readFileBytes(victim), "untouched");
}

}  // namespace
}  // namespace halvern::testing
