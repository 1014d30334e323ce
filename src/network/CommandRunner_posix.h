#pragma once

#include <string>

#include "network/CommandRunner.h"

namespace halvern {

// POSIX only: runCommand with `standardInput` fed to the child's standard input, which then ends
// (resolvconf takes its records this way). Feeding counts against the same 5000 ms; when the
// child stops reading early, the rest is dropped and its exit code decides.
CommandOutcome runCommand(const CommandLine& commandLine, FailurePolicy policy,
                          const std::string& standardInput);

}  // namespace halvern
