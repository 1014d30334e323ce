#include <stdexcept>

#include "network/CommandRunner.h"
#include "processes/HiddenStart_win.h"

namespace halvern {

CommandOutcome runCommand(const CommandLine& commandLine, FailurePolicy policy) {
    const std::string line = joinCommandLine(commandLine);
    HiddenStartPlan plan;
    plan.commandLine = line;
    plan.lineIsUtf8 = true;
    std::uint32_t error = 0;
    ChildProcess command = startHidden(plan, error);
    if (!command.valid()) {
        if (policy == FailurePolicy::tolerate) {
            return CommandOutcome::notRun;
        }
        throw std::runtime_error(launchFailureMessage(error, line));
    }
    // A command still running after the wait fails with 259 (STILL_ACTIVE), and is left to run
    // on by itself.
    const std::uint32_t exitCode =
        command.waitForExit(kCommandTimeoutMilliseconds).value_or(kStillRunningExitCode);
    command.detach();
    if (policy == FailurePolicy::throwOnFailure && exitCode != 0) {
        throw std::runtime_error(exitFailureMessage(exitCode, line));
    }
    return outcomeOfExitCode(exitCode);
}

}  // namespace halvern
