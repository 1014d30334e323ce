#include "integration/ControlTestSupport.h"

#include <mutex>

#include "common/ExecutablePath.h"
#include "control/ControlPipeServer.h"
#include "control/ServiceState.h"

namespace halvern::test {

// Per platform: runs a program to its end with stdout and stderr in the given files and returns
// its exit code (POSIX: 128 + the signal that ended it).
int runProgram(const std::vector<std::string>& arguments, const std::filesystem::path& output,
               const std::filesystem::path& errors);

ServerThread::ServerThread() {
    stopping = false;
    {
        const std::lock_guard lock(controllerMutex);
        controller = std::make_unique<TunnelController>([](const std::string&) {});
    }
    thread_ = std::thread(runControlPipeServer);
    // Once a first client was served, halvernctl (which does not wait for the socket to appear)
    // finds the endpoint, and a stop finds the server waiting for a client.
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
        return "(not connected)";
    }
    client.send(bytes);
    return client.receiveAll();
}

std::filesystem::path halvernctlPath() {
    return (executablePath().parent_path() / HALVERNCTL_RELATIVE_PATH).lexically_normal();
}

ProgramRun runCaptured(const std::filesystem::path& directory,
                       const std::vector<std::string>& arguments) {
    // Fresh files for every run: no run reads an earlier one's output.
    static int runs = 0;
    const std::string suffix = std::to_string(++runs) + ".txt";
    ProgramRun run;
    run.exitCode =
        runProgram(arguments, directory / ("stdout-" + suffix), directory / ("stderr-" + suffix));
    run.output = testing::readFileBytes(directory / ("stdout-" + suffix));
    run.errors = testing::readFileBytes(directory / ("stderr-" + suffix));
    std::erase(run.output, '\r');  // Windows console programs write CRLF
    std::erase(run.errors, '\r');
    return run;
}

}  // namespace halvern::test
