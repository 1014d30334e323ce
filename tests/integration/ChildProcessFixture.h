#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/MonotonicClock.h"
#include "processes/ProcessLauncher.h"
#include "support/TestSupport.h"

namespace halvern::testing {

// A private temporary directory for the service's files, a private directory for the stand-in
// programs, and a check at the end that no child of this test process is left, not even a zombie.
class ChildProcessTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{})
            << "a child process was left behind";
    }

    static bool onWindows() { return ProcessLauncher::executableFileName("x") == "x.exe"; }

    std::string installXray(const std::string& behaviour = {}) {
        return installFake(fakesDirectory(), "xray", programs_.path(), behaviour).string();
    }
    std::string installTun2socks(const std::string& behaviour = {}) {
        return installFake(fakesDirectory(), "tun2socks", programs_.path(), behaviour).string();
    }

    std::filesystem::path runtimeFile(const std::string& name) const {
        return runtime_.path() / name;
    }

    // Waits until the file holds exactly `expected`, and returns what it last held.
    std::string waitForContent(const std::filesystem::path& path, const std::string& expected,
                               int waitMs = 10000) const {
        const auto start = MonotonicClock::now();
        std::string content = readFileBytes(path);
        while (content != expected && elapsedMilliseconds(start) < waitMs) {
            sleepMilliseconds(20);
            content = readFileBytes(path);
        }
        return content;
    }

    // Waits until the process has ended and, with `reaped`, has also been reaped.
    static bool waitUntilGone(std::uint32_t pid, bool reaped = true, int waitMs = 10000) {
        const auto start = MonotonicClock::now();
        while (reaped ? !processIsGone(pid) : !processHasEnded(pid)) {
            if (elapsedMilliseconds(start) >= waitMs) {
                return false;
            }
            sleepMilliseconds(20);
        }
        return true;
    }

    ScopedRuntimeDirectory runtime_;
    ScopedTempDirectory programs_;
};

// The message of the runtime error that `action` throws, or "<no error>".
template <typename Action>
std::string errorFrom(Action&& action) {
    try {
        action();
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "<no error>";
}

}  // namespace halvern::testing
