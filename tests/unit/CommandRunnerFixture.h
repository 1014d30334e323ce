#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "network/CommandRunner.h"
#include "support/TestSupport.h"

namespace halvern::testing {

// The platform pieces of the command runner's tests: commands for sh on POSIX; under Wine our
// own netsh.exe beside the test executable, which does what its environment says.
class CommandRunnerTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // How a crashed command's exit code reads on this platform.
    static const std::uint32_t kCrashCode;
    // A command that exits with `code`.
    CommandLine exitingWith(std::uint32_t code);
    // A command that runs for longer than the runner waits.
    CommandLine sleeping();
    // Runs commands that report how they were started and checks what they were given.
    void expectHiddenAndInheritingNothing();
    // After sleeping() failed: POSIX ended it with what it started, Windows left it running.
    void expectSlowCommandDealtWith();

    ScopedTempDirectory directory_;
};

}  // namespace halvern::testing
