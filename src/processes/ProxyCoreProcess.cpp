#include "processes/ProxyCoreProcess.h"

#include <stdexcept>
#include <utility>

namespace halvern {

ProxyCoreProcess::ProxyCoreProcess(std::string exePath) : exePath_(std::move(exePath)) {}

ProxyCoreProcess::~ProxyCoreProcess() {
    stop();
}

void ProxyCoreProcess::start(const std::string& /*configJson*/) {
    throw std::runtime_error("Proxy core launch is not available in this build");
}

void ProxyCoreProcess::waitForSocksPort(int /*timeoutMs*/) {
    throw std::runtime_error("Proxy core launch is not available in this build");
}

void ProxyCoreProcess::stop() noexcept {}

}  // namespace halvern
