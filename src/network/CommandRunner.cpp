#include "network/CommandRunner.h"

#include "common/ErrorText.h"

namespace halvern {

std::string joinCommandLine(const CommandLine& commandLine) {
    std::string text;
    for (std::size_t i = 0; i < commandLine.size(); ++i) {
        if (i > 0) {
            text += ' ';
        }
        text += commandLine[i];
    }
    return text;
}

std::string launchFailureMessage(std::uint32_t errorCode, const std::string& commandText) {
    return "Failed to launch command" + errorCodeSuffix(errorCode) + ": " + commandText;
}

std::string exitFailureMessage(std::uint32_t exitCode, const std::string& commandText) {
    return "Command failed with exit code " + std::to_string(exitCode) + ": " + commandText;
}

}  // namespace halvern
