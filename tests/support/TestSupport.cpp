#include "support/TestSupport.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "common/MonotonicClock.h"
#include "processes/ProcessLauncher.h"
#include "processes/SocketCalls.h"
#include "support/PortLock.h"

namespace halvern::testing {

// Platform parts (TestSupport_posix.cpp / TestSupport_win.cpp).
std::optional<std::string> environmentValue(const std::string& name);
void setEnvironmentValue(const std::string& name, const std::optional<std::string>& value);
std::vector<std::string> runtimeDirectoryVariables();

ScopedTempDirectory::ScopedTempDirectory() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const auto candidate =
            base / ("halvern-test-" + std::to_string(ProcessLauncher::currentProcessId()) + "-" +
                    std::to_string(counter++) + "-" + std::to_string(random() % 1000000));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

ScopedTempDirectory::~ScopedTempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedRuntimeDirectory::ScopedRuntimeDirectory() {
    for (const std::string& name : runtimeDirectoryVariables()) {
        saved_.emplace_back(name, environmentValue(name));
        setEnvironmentValue(name, directory_.path().string());
    }
}

ScopedRuntimeDirectory::~ScopedRuntimeDirectory() {
    for (const auto& [name, value] : saved_) {
        setEnvironmentValue(name, value);
    }
}

std::string programFileName(const std::string& stem) {
    return ProcessLauncher::executableFileName(stem);
}

std::filesystem::path installFake(const std::filesystem::path& fakesDirectory,
                                  const std::string& stem, const std::filesystem::path& directory,
                                  const std::string& behaviour) {
    const auto source = fakesDirectory / programFileName("fake_" + stem);
    const auto target = directory / programFileName(stem);
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing);
    if (!behaviour.empty()) {
        writeFileBytes(directory / (stem + ".behaviour"), behaviour);
    }
    return target;
}

std::string readFileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void writeFileBytes(const std::filesystem::path& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string fillPattern(std::size_t count) {
    std::string text(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        text[i] = static_cast<char>('0' + i % 10);
    }
    return text;
}

bool waitUntilPortIsFree(int port, int waitMs) {
    ensureWinsock();
    const auto start = MonotonicClock::now();
    while (tryConnectLoopback(port)) {
        if (elapsedMilliseconds(start) >= waitMs) {
            return false;
        }
        sleepMilliseconds(50);
    }
    return true;
}

std::vector<std::uint32_t> childProcessesLeftBehind(int settleMs) {
    const auto start = MonotonicClock::now();
    std::vector<std::uint32_t> children = childProcessesOfThisProcess();
    while (!children.empty() && elapsedMilliseconds(start) < settleMs) {
        sleepMilliseconds(20);
        children = childProcessesOfThisProcess();
    }
    return children;
}

}  // namespace halvern::testing
