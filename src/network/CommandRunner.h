#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvern {

// One system command as the platform starts it. On Windows it holds a single element, the
// complete command line that CreateProcessA splits itself (quotes included). On POSIX it is the
// program name (looked up through PATH) and its arguments, executed without a shell.
using CommandLine = std::vector<std::string>;

// The command as messages show it: its pieces joined by single spaces. For a Windows command
// this is the line exactly as it was built.
std::string joinCommandLine(const CommandLine& commandLine);

// Runs the command as a hidden child that inherits none of our handles and waits up to 5000 ms
// for it; still running counts as exit code 259 (Windows then leaves it alone; POSIX kills it
// with its process group and reaps it). With `throwOnFailure`, a launch failure throws
// "Failed to launch command (error N): ..." and a non-zero exit code throws "Command failed
// with exit code N: ...". Returns how a tolerated command ended. Keeps no state between calls
// other than, on POSIX, a killed command that could not be reaped yet.
enum class CommandOutcome {
    succeeded,
    failed,  // it ran to its end with another exit code
    notRun,  // it could not be launched, or was still running at the bound
};
enum class FailurePolicy { throwOnFailure, tolerate };
CommandOutcome runCommand(const CommandLine& commandLine, FailurePolicy policy);

// The two messages, with the codes as unsigned 32-bit decimals.
std::string launchFailureMessage(std::uint32_t errorCode, const std::string& commandText);
std::string exitFailureMessage(std::uint32_t exitCode, const std::string& commandText);

inline constexpr int kCommandTimeoutMilliseconds = 5000;
inline constexpr std::uint32_t kStillRunningExitCode = 259;

// The outcome of a command that was launched and ended with `exitCode`.
inline CommandOutcome outcomeOfExitCode(std::uint32_t exitCode) {
    if (exitCode == kStillRunningExitCode) {
        return CommandOutcome::notRun;
    }
    return exitCode == 0 ? CommandOutcome::succeeded : CommandOutcome::failed;
}

}  // namespace halvern
