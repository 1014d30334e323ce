#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

// Real clients of the real control endpoint, and the service's way of running and stopping its
// server, for the integration tests.
namespace halvern::test {

// The socket's path is fixed, so on POSIX each test takes a /run of its own: tests that ctest
// runs side by side, or other builds' tests on the same machine, never reach each other's server.
// path() is the test's fresh runtime directory.
class TestRuntimeDirectory {
  public:
    const std::filesystem::path& path() const { return files_.path(); }

  private:
    testing::ScopedPrivateRunDirectory run_;
    testing::ScopedRuntimeDirectory files_;
};

// The server on a thread of its own with a fresh controller, stopped as the service stops it:
// `stopping` set, one wake-up connection, join.
class ServerThread {
  public:
    ServerThread();
    ~ServerThread();
    ServerThread(const ServerThread&) = delete;
    ServerThread& operator=(const ServerThread&) = delete;
    void stop();

  private:
    std::thread thread_;
};

// One raw connection, made as a real client makes it (waiting while the server is busy). send()
// does not wait for the server to take bytes beyond what the system buffers; receiveAll()
// returns everything the server writes until it closes the connection.
class TestClient {
  public:
    TestClient();
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;
    bool connected() const;
    void send(std::string_view bytes);
    std::string receiveAll();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Connects, sends, and returns the whole answer.
std::string exchange(std::string_view bytes);

std::filesystem::path halvernctlPath();

struct ProgramRun {
    int exitCode = -1;
    std::string output;
    std::string errors;
};

// Runs a program to its end with stdout and stderr in fresh files in `directory`, read back
// without CR. Throws, naming the call and the error, when the program cannot be started.
ProgramRun runCaptured(const std::filesystem::path& directory,
                       const std::vector<std::string>& arguments);

}  // namespace halvern::test
