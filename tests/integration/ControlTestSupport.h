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
// runs side by side, or other builds' tests on the same machine, never reach each other's server,
// nor a service that runs on this machine. path() is the test's fresh runtime directory.
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

// One raw connection. The constructor connects (waiting while the server is busy with another
// client, as a real client would); send() writes its bytes as one message; receiveAll() returns
// everything the server writes until it closes the connection.
class TestClient {
  public:
    TestClient();
    ~TestClient();
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    bool connected() const;
    // What the last attempt to connect failed with; empty once connected.
    std::string failure() const;
    // Does not wait for the server to take the bytes when they exceed what the system buffers:
    // the write completes in the background while receiveAll() runs.
    void send(std::string_view bytes);
    std::string receiveAll();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Connects, sends, and returns the whole answer.
std::string exchange(std::string_view bytes);

// The halvernctl executable of this build.
std::filesystem::path halvernctlPath();

struct ProgramRun {
    int exitCode = -1;
    std::string output;
    std::string errors;
};

// Runs a program to its end with stdout and stderr in files in `directory`, read back (CRLF
// turned into LF). Throws, naming the call, the program and the system's error code, when the
// program cannot be started; on Windows also when it has not ended after a minute (a Wine child
// could otherwise outlive a test that ctest's time-out ends).
ProgramRun runCaptured(const std::filesystem::path& directory,
                       const std::vector<std::string>& arguments);

}  // namespace halvern::test
