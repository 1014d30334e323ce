#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include "common/MonotonicClock.h"
#include "unit/CommandRunnerFixture.h"

namespace halvern::testing {
namespace {

TEST_F(CommandRunnerTest, FailuresNameTheCodeAndTheCommand) {
    const ScopedSignalShunned shunned(SIGSEGV);  // the crash is the command's all the same
    for (const std::uint32_t code : {1U, kCrashCode}) {
        const CommandLine command = exitingWith(code);
        EXPECT_EQ(errorFrom([&] { runCommand(command, FailurePolicy::throwOnFailure); }),
                  "Command failed with exit code " + std::to_string(code) + ": " + shown_);
        EXPECT_NO_THROW(runCommand(command, FailurePolicy::tolerate));
    }
    const CommandLine missing = {"halvern-no-such-tool", "route"};
    EXPECT_EQ(errorFrom([&] { runCommand(missing, FailurePolicy::throwOnFailure); }),
              "Failed to launch command (error 2): halvern-no-such-tool route");
    EXPECT_NO_THROW(runCommand(missing, FailurePolicy::tolerate));
}

TEST_F(CommandRunnerTest, SlowCommandFailsWith259AfterTheBound) {
    const CommandLine command = sleeping();
    const auto start = MonotonicClock::now();
    EXPECT_EQ(errorFrom([&] { runCommand(command, FailurePolicy::throwOnFailure); }),
              "Command failed with exit code 259: " + shown_);
    EXPECT_GE(elapsedMilliseconds(start), 4900);  // Wine's wait may end a tick early
    EXPECT_LT(elapsedMilliseconds(start), 8000);
    expectSlowCommandDealtWith(command);
}

}  // namespace
}  // namespace halvern::testing
