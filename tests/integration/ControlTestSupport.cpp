#include "integration/ControlTestSupport.h"

#include <functional>

#include "common/ExecutablePath.h"
#include "control/ControlServer.h"

namespace halvern::test {

ServerThread::ServerThread() {
    service_.setController(std::make_unique<TunnelController>([](const std::string&) {}));
    thread_ = std::thread(runControlServer, std::ref(service_));
    // Once a first client is served, halvernctl (which does not wait for the socket) finds it.
    exchange("\n");
}

ServerThread::~ServerThread() {
    stop();
}

void ServerThread::stop() {
    service_.setStopping(true);
    wakeControlEndpoint();
    if (thread_.joinable()) {
        thread_.join();
    }
}

std::string exchange(std::string_view bytes) {
    TestClient client;
    client.send(bytes);
    return client.receiveAll();
}

std::filesystem::path halvernctlPath() {
    return (executablePath().parent_path() / HALVERNCTL_RELATIVE_PATH).lexically_normal();
}

ProgramRun runCaptured(const std::filesystem::path& directory,
                       const std::vector<std::string>& arguments) {
    static int runs = 0;  // fresh files: no run reads an earlier one's output
    const std::string suffix = std::to_string(++runs) + ".txt";
    ProgramRun run;
    run.exitCode = testing::runProgram(arguments, directory / ("stdout-" + suffix),
                                       directory / ("stderr-" + suffix));
    run.output = testing::readFileBytes(directory / ("stdout-" + suffix));
    run.errors = testing::readFileBytes(directory / ("stderr-" + suffix));
    std::erase(run.output, '\r');  // Windows console programs write CRLF
    std::erase(run.errors, '\r');
    return run;
}

}  // namespace halvern::test
