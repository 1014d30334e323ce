// POSIX only: who may talk to the socket. Its modes under a narrow umask are the daemon test's.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/ControlPipeServer.h"
#include "integration/ControlTestSupport.h"

namespace halvern::test {
namespace {

TEST(ControlSocket, AnUnprivilegedUserGetsNoAnswer) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run the client as the user nobody";
    }
    TestRuntimeDirectory directory;
    ServerThread server;
    // A copy that nobody may execute wherever the build tree lives.
    const auto client = directory.path() / "halvernctl";
    std::filesystem::copy_file(halvernctlPath(), client);
    std::filesystem::permissions(directory.path(), std::filesystem::perms(0755));
    const std::vector<std::string> asNobody{
        "/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
        client.string(),    "--json",         "status"};
    // First the socket's mode turns the connection away; with the mode opened by hand, the
    // peer check still closes it unanswered.
    for (const std::string reason : {"access denied", "without answering"}) {
        const ProgramRun run = runCaptured(directory.path(), asNobody);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.output, "");
        EXPECT_NE(run.errors.find(reason), std::string::npos) << run.errors;
        std::filesystem::permissions(controlEndpointAddress(), std::filesystem::perms(0666));
    }
    EXPECT_NE(exchange("{\"command\":\"status\"}\n").find("\"ok\":true"), std::string::npos);
    server.stop();
    // The socket goes with the server, so clients are told at once that nobody listens.
    EXPECT_FALSE(std::filesystem::exists(controlEndpointAddress()));
}

}  // namespace
}  // namespace halvern::test
