#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <sstream>

#include "common/MonotonicClock.h"
#include "common/ProcessIdentity.h"
#include "common/UniqueFd.h"
#include "common/WholeFile.h"

namespace halvern {
namespace {

constexpr int kEndWaitMs = 3000;

struct StatFields {
    char state = 0;
    long long group = 0;
    unsigned long long startTicks = 0;
};

// Fields 3 (state), 5 (process group) and 22 (start time) of /proc/PID/stat. The command name
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
    StatFields fields;
    std::string token;
    for (int field = 3; field <= 22; ++field) {
        if (!(rest >> token)) {
            return std::nullopt;
        }
        const char* first = token.data();
        const char* last = token.data() + token.size();
        if ((field == 3 && token.size() != 1) ||
            (field == 5 && std::from_chars(first, last, fields.group).ptr != last) ||
            (field == 22 && std::from_chars(first, last, fields.startTicks).ptr != last)) {
            return std::nullopt;
        }
        if (field == 3) {
            fields.state = token[0];
        }
    }
    return fields;
}

bool hasEnded(const std::optional<StatFields>& fields) {
    return !fields || fields->state == 'Z' || fields->state == 'X';
}

// Whether a live process of group `group` started no earlier than `startTicks`: what a
// recorded child left in its group.
bool groupHasMemberSince(long long group, unsigned long long startTicks) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = ::readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::optional<StatFields> fields = readStat(name);
        if (!hasEnded(fields) && fields->group == group && fields->startTicks >= startTicks) {
            found = true;
            break;
        }
    }
    ::closedir(proc);
    return found;
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
        unsigned long long recorded = 0;
        const auto parsed =
            std::from_chars(startMark.data(), startMark.data() + startMark.size(), recorded);
        if (parsed.ec != std::errc{} || pid == 0 || pid > 0x7FFFFFFFU) {
            return RecordedProcessOutcome::alreadyGone;
        }
        const auto group = static_cast<long long>(pid);
        const std::optional<StatFields> now = readStat(std::to_string(pid));
        // Another process with this id means the recorded one and its whole group are gone:
        // the kernel hands out no id that a live group still uses.
        if (now && now->startTicks != recorded) {
            return RecordedProcessOutcome::alreadyGone;
        }
        const auto leaderRuns = [&] { return !hasEnded(readStat(std::to_string(pid))); };
        const auto remains = [&] { return leaderRuns() || groupHasMemberSince(group, recorded); };
        if (!remains()) {
            return RecordedProcessOutcome::alreadyGone;
        }
        // The group, and the child itself in case it left the group.
        ::kill(-static_cast<pid_t>(pid), SIGKILL);
        if (leaderRuns()) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        }
        const auto start = MonotonicClock::now();
        while (remains() && elapsedMilliseconds(start) < kEndWaitMs) {
            sleepMilliseconds(10);
        }
        return RecordedProcessOutcome::ended;
    } catch (...) {
        return RecordedProcessOutcome::alreadyGone;
    }
}

}  // namespace halvern
