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

    std::string install(const std::string& stem, const std::string& behaviour = {}) {
        return installFake(fakesDirectory(), stem, programs_.path(), behaviour).string();
    }
    std::filesystem::path runtimeFile(const std::string& name) const {
        return runtime_.path() / name;
    }

    // Waits up to 10 s until `done()` holds; returns whether it does.
    template <typename Condition>
    static bool waitFor(Condition&& done) {
        const auto start = MonotonicClock::now();
        while (!done()) {
            if (elapsedMilliseconds(start) >= 10000) {
                return false;
            }
            sleepMilliseconds(20);
        }
        return true;
    }
    // Waits until the file holds exactly `expected`, and returns what it last held.
    static std::string waitForContent(const std::filesystem::path& path,
                                      const std::string& expected) {
        waitFor([&] { return readFileBytes(path) == expected; });
        return readFileBytes(path);
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
