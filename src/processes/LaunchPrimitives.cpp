#include "processes/ProcessLauncher.h"

#include <utility>

#include "common/ProcessIdentity.h"

namespace halvern {

ChildProcessHandle::ChildProcessHandle(ChildProcessHandle&& other) noexcept
    : os(std::move(other.os)),
      journal(std::exchange(other.journal, nullptr)),
      entry(std::move(other.entry)) {}

ChildProcessHandle& ChildProcessHandle::operator=(ChildProcessHandle&& other) noexcept {
    if (this != &other) {
        reset();
        os = std::move(other.os);
        journal = std::exchange(other.journal, nullptr);
        entry = std::move(other.entry);
    }
    return *this;
}

void ChildProcessHandle::reset() noexcept {
    os.reset();
    if (journal != nullptr) {
        journal->forget(entry);
        journal = nullptr;
    }
    entry.fields.clear();
}

}  // namespace halvern

namespace halvern::ProcessLauncher {

void journalChild(ChildProcessHandle& child, JournalRecorder* journal, std::uint32_t pid) {
    if (journal == nullptr) {
        return;
    }
    JournalEntry entry{JournalKind::child, {std::to_string(pid), processStartMark(pid)}};
    journal->record(entry);
    child.journal = journal;
    child.entry = std::move(entry);
}

std::string exitMessage(const std::string& prefix, std::int64_t number, const std::string& tail) {
    std::string message = prefix + std::to_string(number);
    if (!tail.empty()) {
        message += " | output: ";
        message += tail;
    }
    return message;
}

}  // namespace halvern::ProcessLauncher
