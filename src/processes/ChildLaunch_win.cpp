#include <windows.h>

#include <filesystem>
#include <stdexcept>

#include "common/ErrorText.h"
#include "processes/ChildLaunch.h"
#include "processes/HiddenStart_win.h"
#include "processes/RestrictedToken.h"

namespace halvern {

std::string executableFileName(const std::string& baseName) {
    return baseName + ".exe";
}

JournalledChild launchHidden(const ChildCommand& command, const std::string& exePath,
                             const ChildLog& logFile, const std::string& exeName,
                             JournalRecorder* journal, ChildRights rights) {
    const auto failure = [&exeName](DWORD error) {
        return std::runtime_error("Failed to start " + exeName + errorCodeSuffix(error));
    };
    // A child without rights of its own (the proxy core) runs on a restricted copy of the
    // service's token, or not at all. The bridge keeps the service's token: it creates the
    // adapter, and nothing on its command line is the client's.
    UniqueHandle token;
    if (rights == ChildRights::none) {
        std::uint32_t error = 0;
        token = createRestrictedToken(error);
        if (!token.valid()) {
            throw failure(error);
        }
    }
    // Passed even when empty (a bare executable name); the creation may then fail, and that
    // failure is reported like any other.
    HiddenStartPlan plan;
    plan.commandLine = command.commandLine;
    plan.directory = std::filesystem::path(exePath).parent_path().string();
    plan.output = logFile.valid() ? logFile.get() : nullptr;
    plan.inheritHandles = true;  // the log handle
    plan.token = token.get();
    plan.jobFor = exeName;
    JournalledChild child;
    std::uint32_t error = 0;
    child.process =
        startHidden(plan, error, [&](std::uint32_t pid) { journalChild(child, journal, pid); });
    if (!child.valid()) {
        throw failure(error);
    }
    return child;
}

// Each child's job object ended everything it started when the child was stopped.
std::optional<std::size_t> endLeftoverChildren() noexcept {
    return std::nullopt;
}

}  // namespace halvern
