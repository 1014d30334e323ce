#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "network/CommandRunner.h"
#include "support/TestSupport.h"

namespace halvern::testing {

// Real children: sh on POSIX; under Wine our netsh.exe beside the test, told by its environment.
class CommandRunnerTest : public ::testing::Test {
  protected:
    ~CommandRunnerTest() override;

    // A crashed command's exit code: an access violation; 128 + SIGSEGV, as a shell has it.
    static constexpr std::uint32_t kCrashCode = kOnWindows ? 3221225477U : 139U;
    // Each also sets shown_: the command as a failure message must name it.
    CommandLine exitingWith(std::uint32_t code);
    CommandLine sleeping();  // runs longer than the runner waits
    void expectSlowCommandDealtWith(const CommandLine& command);  // after sleeping() failed

    ScopedTempDirectory directory_;
    std::string shown_;
};

}  // namespace halvern::testing
