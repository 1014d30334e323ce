#include <windows.h>

#include "common/ChildProcess.h"
#include "common/ProcessIdentity.h"
#include "common/WinHandle.h"

namespace halvern {
namespace {

std::string creationTime(HANDLE process) {
    FILETIME created{};
    FILETIME exited{};
    FILETIME kernel{};
    FILETIME user{};
    if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        return {};
    }
    return std::to_string((static_cast<std::uint64_t>(created.dwHighDateTime) << 32U) |
                          created.dwLowDateTime);
}

}  // namespace

std::uint32_t ownProcessId() noexcept {
    return GetCurrentProcessId();
}

std::string processStartMark(std::uint32_t pid) {
    const UniqueHandle process(
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, pid));
    if (!process.valid() || WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) {
        return {};
    }
    return creationTime(process.get());
}

RecordedProcessOutcome endRecordedProcess(std::uint32_t pid,
                                          const std::string& startMark) noexcept {
    try {
        const UniqueHandle process(OpenProcess(
            PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
        if (!process.valid() || startMark.empty() || creationTime(process.get()) != startMark ||
            WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
            return RecordedProcessOutcome::alreadyGone;
        }
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), kKillWaitMs);
        return RecordedProcessOutcome::ended;
    } catch (...) {
        return RecordedProcessOutcome::alreadyGone;
    }
}

}  // namespace halvern
