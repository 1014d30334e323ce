// POSIX only: who may talk to the socket, and halvernctl's multi-request commands against a
// scripted stand-in for the service on the same socket path.
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/UniqueFd.h"
#include "control/ControlPipeServer.h"
#include "integration/ControlTestSupport.h"

namespace halvern::test {
namespace {

TEST(ControlSocket, ModesKeepOthersOut) {
    TestRuntimeDirectory directory;
    ServerThread server;
    ASSERT_NE(exchange("{\"command\":\"status\"}\n").find("\"ok\":true"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat(controlEndpointAddress().c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    if (::getgrnam("halvern") != nullptr) {
        EXPECT_EQ(info.st_mode & 07777, 0660U);
        EXPECT_EQ(info.st_gid, ::getgrnam("halvern")->gr_gid);
    } else {
        EXPECT_EQ(info.st_mode & 07777, 0600U);
    }
    server.stop();
    // The socket goes with the server, so clients are told at once that nobody listens.
    EXPECT_FALSE(std::filesystem::exists(controlEndpointAddress()));
}

TEST(ControlSocket, AnUnprivilegedUserGetsNoAnswer) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to run the client as the user nobody";
    }
    TestRuntimeDirectory directory;
    ServerThread server;
    // A copy that nobody may execute wherever the build tree lives.
    const auto client = directory.path() / "halvernctl";
    std::filesystem::copy_file(halvernctlPath(), client);
    const std::vector<std::string> asNobody{
        "/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
        client.string(),    "--json",         "status"};

    // The socket's mode turns the connection away.
    ProgramRun run = runCaptured(directory.path(), asNobody);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.errors.find("access denied"), std::string::npos) << run.errors;

    // With the mode opened by hand, the peer check still closes the connection unanswered.
    std::filesystem::permissions(controlEndpointAddress(), std::filesystem::perms(0666));
    run = runCaptured(directory.path(), asNobody);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.errors.find("without answering"), std::string::npos) << run.errors;

    // Root is still served.
    EXPECT_EQ(exchange("{\"command\":\"status\"}\n"),
              R"({"ok":true,"status":"disconnected","activeProtocol":""})");
}

// Answers each connection with the next scripted response and records the request lines; when
// the script is used up it stops listening, so the client's next request finds no service.
class ScriptedService {
  public:
    explicit ScriptedService(std::vector<std::string> answers) : answers_(std::move(answers)) {
        const std::string path = controlEndpointAddress().string();
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        listener_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
                0 ||
            ::listen(listener_.get(), 8) != 0) {
            throw std::runtime_error("cannot listen on " + path);
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedService() { thread_.join(); }
    ScriptedService(const ScriptedService&) = delete;
    ScriptedService& operator=(const ScriptedService&) = delete;

    std::vector<std::string> requests() {
        const std::lock_guard lock(mutex_);
        return requests_;
    }

  private:
    void serve() {
        for (const std::string& answer : answers_) {
            const UniqueFd client(::accept(listener_.get(), nullptr, nullptr));
            std::string request;
            char byte = 0;
            while (::recv(client.get(), &byte, 1, 0) == 1 && byte != '\n') {
                request += byte;
            }
            {
                const std::lock_guard lock(mutex_);
                requests_.push_back(request);
            }
            const ssize_t ignored =
                ::send(client.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
            static_cast<void>(ignored);
        }
        ::unlink(controlEndpointAddress().c_str());
        listener_.reset();
    }

    std::vector<std::string> answers_;
    UniqueFd listener_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

TEST(HalvernctlRequests, StartSendsTheConfigurationAndDnsServers) {
    TestRuntimeDirectory directory;
    const auto config = directory.path() / "config.json";
    std::ofstream(config, std::ios::binary) << "{\"a\":\"b\\n\"}\n";
    ScriptedService service({R"({"ok":true,"status":"connected"})"});
    const ProgramRun run =
        runCaptured(directory.path(), {halvernctlPath().string(), "start", "--config",
                                       config.string(), "--dns", "1.1.1.1", "--dns", "9.9.9.9"});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    EXPECT_EQ(run.output, "status: connected\n");
    EXPECT_EQ(
        service.requests(),
        std::vector<std::string>{
            R"({"command":"startXray","configJson":"{\"a\":\"b\\n\"}\n","dnsServers":["1.1.1.1","9.9.9.9"]})"});
}

TEST(HalvernctlRequests, FollowingALogStartsOverWhenTheFileShrinks) {
    TestRuntimeDirectory directory;
    ScriptedService service({
        R"({"ok":true,"content":"one\n","nextOffset":4,"fileSize":4})",
        R"({"ok":true,"content":"","nextOffset":4,"fileSize":4})",
        R"({"ok":true,"content":"","nextOffset":4,"fileSize":2})",
        R"({"ok":true,"content":"hi","nextOffset":2,"fileSize":2})",
    });
    const ProgramRun run = runCaptured(
        directory.path(), {halvernctlPath().string(), "logs", "--source", "tun2socks", "--follow"});
    // Following ends only when the service goes away.
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "one\nhi");
    const std::string head = R"({"command":"readLogDelta","source":"windows_tun2socks","offset":)";
    EXPECT_EQ(service.requests(),
              (std::vector<std::string>{
                  head + R"(0,"maxBytes":65536})", head + R"(4,"maxBytes":65536})",
                  head + R"(4,"maxBytes":65536})", head + R"(0,"maxBytes":65536})"}));
}

TEST(HalvernctlRequests, WatchingStatsShowsTotalsAndRates) {
    TestRuntimeDirectory directory;
    ScriptedService service({
        R"({"ok":true,"txBytes":1000,"rxBytes":2048})",
        R"({"ok":true,"txBytes":1000,"rxBytes":1050624})",
    });
    const ProgramRun run =
        runCaptured(directory.path(), {halvernctlPath().string(), "stats", "--watch", "1"});
    EXPECT_EQ(run.exitCode, 2);
    const std::size_t lineEnd = run.output.find('\n');
    ASSERT_NE(lineEnd, std::string::npos) << run.output;
    EXPECT_EQ(run.output.substr(0, lineEnd), "sent 1000 B, received 2.0 KiB");
    EXPECT_NE(run.output.find("sent 1000 B, received 1.0 MiB  (up 0 B/s, down "), std::string::npos)
        << run.output;
}

}  // namespace
}  // namespace halvern::test
