#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/MonotonicClock.h"
#include "support/TestSupport.h"

namespace halvern::testing {

// Private directories for the service's files and for the stand-ins, and a check at the end that
// no child of this test process is left, not even a zombie.
class ChildProcessTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_EQ(childProcessesLeftBehind(), std::vector<std::uint32_t>{}) << "left behind";
    }

    static bool onWindows() { return programFileName("x") == "x.exe"; }

    std::string install(const std::string& stem, const std::string& behaviour = {}) {
        return installFake(fakesDirectory(), stem, programs_.path(), behaviour).string();
    }
    std::filesystem::path runtimeFile(const std::string& name) const {
        return runtime_.path() / name;
    }

    // Polls `done` for up to 10 s; whether it holds.
    template <typename Condition>
    static bool waitFor(Condition&& done) {
        for (const auto start = MonotonicClock::now(); !done(); sleepMilliseconds(20)) {
            if (elapsedMilliseconds(start) >= 10000) {
                return false;
            }
        }
        return true;
    }
    // What the file holds once it holds `expected`, or after 10 s.
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
