// POSIX only: who may talk to the socket. Its modes under a narrow umask are the daemon test's.
#include <grp.h>
#include <sys/mount.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "common/ServiceDirectories.h"
#include "control/ControlServer.h"
#include "integration/ControlTestSupport.h"

namespace halvern::test {
namespace {

TEST(ControlSocket, AnUnprivilegedUserGetsNoAnswer) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run the client as the user nobody";
    }
    const TestRuntimeDirectory directory;
    const auto& path = directory.files.path();
    ServerThread server;
    const auto client = path / "halvernctl";  // nobody may not reach the build tree
    std::filesystem::copy_file(halvernctlPath(), client);
    std::filesystem::permissions(path, std::filesystem::perms(0755));
    const auto asNobody = [&](const std::string& group, const std::string& groups) {
        return runCaptured({"/usr/bin/setpriv", "--reuid=nobody", group, groups, client.string(),
                            "--json", "status"});
    };
    // Turned away by the socket's mode, and with the mode opened by hand, by the peer check.
    for (const std::string reason : {"access denied", "without answering"}) {
        const ProgramRun run = asNobody("--regid=nogroup", "--clear-groups");
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.errors.find(reason), std::string::npos) << run.errors;
        std::filesystem::permissions(controlEndpointAddress(), std::filesystem::perms(0666));
    }
    // A member of the client group by its primary group is served (as supplementary: daemon test).
    if (::getgrnam("halvern") != nullptr) {
        EXPECT_EQ(asNobody("--regid=halvern", "--clear-groups").exitCode, 0);
    }
    // Without the client group the open mode lets nobody in either (/etc/group: our namespace's).
    testing::writeFileBytes(path / "group",
                            runCaptured({"grep", "-v", "^halvern:", "/etc/group"}).output);
    ASSERT_EQ(::mount((path / "group").c_str(), "/etc/group", nullptr, MS_BIND, nullptr), 0);
    const ProgramRun stranger = asNobody("--regid=nogroup", "--clear-groups");
    ::umount("/etc/group");
    EXPECT_NE(stranger.errors.find("without answering"), std::string::npos) << stranger.errors;
    server.stop();
    // The socket goes with the server, so clients are told at once that nobody listens.
    EXPECT_FALSE(std::filesystem::exists(controlEndpointAddress()));
}

// The socket goes only into a directory of the service's own: never through a link, never into
// one that another account could fill with a socket of its own.
TEST(ControlSocket, TheSocketsDirectoryMustBeTheServicesOwn) {
    const testing::ScopedTempDirectory scratch;
    const auto ours = scratch.path() / "ours";
    ASSERT_TRUE(ensureServiceDirectory(ours));
    EXPECT_FALSE(ensureServiceDirectory(scratch.path() / "missing" / "deeper"));
    std::filesystem::create_directory_symlink(ours, scratch.path() / "link");
    EXPECT_FALSE(ensureServiceDirectory(scratch.path() / "link"));
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(ours.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(ensureServiceDirectory(ours));
    }
}

}  // namespace
}  // namespace halvern::test
