#include "integration/ControlTestSupport.h"

#include <mutex>

#include "common/ExecutablePath.h"
#include "control/ControlPipeServer.h"
#include "control/ServiceState.h"

namespace halvern::test {

// Runs a program to its end with stdout and stderr in the given files; returns its exit code
// (POSIX: 128 + the signal for a program that a signal ended). Throws as runCaptured says.
int runProgram(const std::vector<std::string>& arguments, const std::filesystem::path& output,
               const std::filesystem::path& errors);

ServerThread::ServerThread() {
    stopping = false;
    {
        const std::lock_guard lock(controllerMutex);
        controller = std::make_unique<TunnelController>([](const std::string&) {});
    }
    thread_ = std::thread(runControlPipeServer);
    // Returns once the endpoint has served a first client, so that a client started next
    // (halvernctl, which does not wait for a socket to appear) finds it, and a stop begun next
    // finds the server waiting for a client.
    exchange("\n");
}

ServerThread::~ServerThread() {
    stop();
    const std::lock_guard lock(controllerMutex);
    controller.reset();
    stopping = false;
}

void ServerThread::stop() {
    stopping = true;
    wakeControlPipe();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string exchange(std::string_view bytes) {
    TestClient client;
    if (!client.connected()) {
        return "(not connected: " + client.failure() + ")";
    }
    client.send(bytes);
    return client.receiveAll();
}

std::filesystem::path halvernctlPath() {
    return (executablePath().parent_path() / HALVERNCTL_RELATIVE_PATH).lexically_normal();
}

ProgramRun runCaptured(const std::filesystem::path& directory,
                       const std::vector<std::string>& arguments) {
    // Fresh files for every run, so that no run reads an earlier one's output or waits for
    // whoever may still hold it.
    static int runs = 0;
    const std::string suffix = std::to_string(++runs) + ".txt";
    const auto output = directory / ("stdout-" + suffix);
    const auto errors = directory / ("stderr-" + suffix);
    ProgramRun run;
    run.exitCode = runProgram(arguments, output, errors);
    run.output = testing::readFileBytes(output);
    run.errors = testing::readFileBytes(errors);
    // Windows console programs write CRLF; the tests compare lines.
    std::erase(run.output, '\r');
    std::erase(run.errors, '\r');
    return run;
}

}  // namespace halvern::test
