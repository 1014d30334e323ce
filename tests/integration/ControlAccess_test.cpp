// POSIX only: who may talk to the socket. Its modes under a narrow umask are the daemon test's.
#include <grp.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "control/ControlPipeServer.h"
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
        return runCaptured(path, {"/usr/bin/setpriv", "--reuid=nobody", group, groups,
                                  client.string(), "--json", "status"});
    };
    // The socket's mode turns the connection away; with the mode opened by hand, the peer check
    // still closes it unanswered.
    for (const std::string reason : {"access denied", "without answering"}) {
        const ProgramRun run = asNobody("--regid=nogroup", "--clear-groups");
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.output, "");
        EXPECT_NE(run.errors.find(reason), std::string::npos) << run.errors;
        std::filesystem::permissions(controlEndpointAddress(), std::filesystem::perms(0666));
    }
    // A member of the client group is served, by its primary group or a supplementary one.
    if (::getgrnam("halvern") != nullptr) {
        for (const auto& [group, groups] : {std::pair{"--regid=halvern", "--clear-groups"},
                                            std::pair{"--regid=nogroup", "--groups=halvern"}}) {
            EXPECT_EQ(asNobody(group, groups).exitCode, 0) << group << " " << groups;
        }
    }
    server.stop();
    // The socket goes with the server, so clients are told at once that nobody listens.
    EXPECT_FALSE(std::filesystem::exists(controlEndpointAddress()));
}

}  // namespace
}  // namespace halvern::test
