#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "control/TunnelService.h"
#include "support/TestSupport.h"

// Real clients of the real control endpoint, and its server run and stopped as the service does.
namespace halvern::test {

using testing::ProgramRun;
using testing::runCaptured;

// On POSIX a /run of the test's own: the socket's path is fixed, and tests run side by side.
struct TestRuntimeDirectory {
    testing::ScopedPrivateRunDirectory run;
    testing::ScopedRuntimeDirectory files;
};

// The server on a thread with a fresh controller; stop() stops, wakes and joins it.
class ServerThread {
  public:
    ServerThread();
    ~ServerThread() { stop(); }
    void stop();
    TunnelService& service() { return service_; }

  private:
    TunnelService service_;
    std::thread thread_;
};

// One raw connection, made once the server is free; receiveAll() reads to the end or `limit`.
class TestClient {
  public:
    TestClient();
    ~TestClient();
    void send(std::string_view bytes);
    std::string receiveAll(std::size_t limit = SIZE_MAX);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

std::string exchange(std::string_view bytes);

std::filesystem::path halvernctlPath();

}  // namespace halvern::test
