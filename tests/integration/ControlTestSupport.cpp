#include "integration/ControlTestSupport.h"

#include <fstream>
#include <iterator>
#include <mutex>

#include "common/ExecutablePath.h"
#include "control/ControlPipeServer.h"
#include "control/ServiceState.h"

namespace halvern::test {

ServerThread::ServerThread() {
    stopping = false;
    {
        const std::lock_guard lock(controllerMutex);
        controller = std::make_unique<TunnelController>([](const std::string&) {});
    }
    thread_ = std::thread(runControlPipeServer);
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

std::string readFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    // Windows console programs write CRLF; the tests compare lines.
    std::erase(text, '\r');
    return text;
}

ProgramRun runCaptured(const std::filesystem::path& directory,
                       const std::vector<std::string>& arguments) {
    // Fresh files for every run: under Wine a helper process of the child's console may hold
    // the previous run's files open a little longer.
    static int runs = 0;
    const std::string suffix = std::to_string(++runs) + ".txt";
    const auto output = directory / ("stdout-" + suffix);
    const auto errors = directory / ("stderr-" + suffix);
    ProgramRun run;
    run.exitCode = runProgram(arguments, output, errors);
    run.output = readFile(output);
    run.errors = readFile(errors);
    return run;
}

}  // namespace halvern::test
