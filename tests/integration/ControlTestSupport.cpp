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

}  // namespace halvern::test
