#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <sstream>

#include "common/AddressText.h"
#include "common/ChildProcess.h"
#include "common/MonotonicClock.h"
#include "common/ProcessIdentity.h"
#include "common/UniqueFd.h"
#include "common/WholeFile.h"

namespace halvern {
namespace {

struct StatFields {
    char state = 0;
    std::uint64_t startTicks = 0;
};

// Fields 3 (state) and 22 (start time) of /proc/PID/stat. The command name
// (field 2) may hold spaces and parentheses, so counting starts after the last ')'.
// Plain read(2), not a stream: a process that ends between the open and the read makes the read
// fail with ESRCH, which libstdc++'s file buffer throws. During a scan of /proc that is any
// unrelated process that happens to exit, and it must count as "not there", not end the scan.
std::optional<StatFields> readStat(const std::string& pid) {
    const UniqueFd file(::open(("/proc/" + pid + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!file.valid() || !readWholeFile(file.get(), 4096, text)) {
        return std::nullopt;
    }
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream rest(text.substr(close + 1));
    std::string state;
    std::string token;
    rest >> state;
    for (int field = 4; field <= 22 && rest; ++field) {
        rest >> token;
    }
    const std::optional<std::uint64_t> startTicks = wholeNumber(token, UINT64_MAX);  // field 22
    if (!rest || state.size() != 1 || !startTicks) {
        return std::nullopt;
    }
    return StatFields{state[0], *startTicks};
}

bool hasEnded(const std::optional<StatFields>& fields) {
    return !fields || fields->state == 'Z' || fields->state == 'X';
}

}  // namespace

std::uint32_t ownProcessId() noexcept {
    return static_cast<std::uint32_t>(::getpid());
}

std::string processStartMark(std::uint32_t pid) {
    const std::optional<StatFields> fields = readStat(std::to_string(pid));
    return hasEnded(fields) ? std::string{} : std::to_string(fields->startTicks);
}

RecordedProcessOutcome endRecordedProcess(std::uint32_t pid,
                                          const std::string& startMark) noexcept {
    try {
        if (pid == 0 || pid > 0x7FFFFFFFU || startMark.empty() ||
            processStartMark(pid) != startMark) {
            return RecordedProcessOutcome::alreadyGone;
        }
        const UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
        // Looked at again through the pidfd's process: the id may have passed on meanwhile.
        const auto runs = [&] { return !hasEnded(readStat(std::to_string(pid))); };
        if (!process.valid() || processStartMark(pid) != startMark || !runs()) {
            return RecordedProcessOutcome::alreadyGone;
        }
        ::syscall(SYS_pidfd_send_signal, process.get(), SIGKILL, nullptr, 0);
        waitUntil([&] { return !runs(); }, kKillWaitMs, 10);
        return RecordedProcessOutcome::ended;
    } catch (...) {
        return RecordedProcessOutcome::alreadyGone;
    }
}

}  // namespace halvern
