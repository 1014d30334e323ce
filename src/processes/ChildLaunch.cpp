#include "processes/ChildLaunch.h"

#include <utility>

#include "common/ProcessIdentity.h"

namespace halvern {

JournalledChild::JournalledChild(JournalledChild&& other) noexcept
    : process(std::move(other.process)),
      journal(std::exchange(other.journal, nullptr)),
      entry(std::move(other.entry)) {}

JournalledChild& JournalledChild::operator=(JournalledChild&& other) noexcept {
    if (this != &other) {
        reset();
        process = std::move(other.process);
        journal = std::exchange(other.journal, nullptr);
        entry = std::move(other.entry);
    }
    return *this;
}

void JournalledChild::reset() noexcept {
    process.terminate();
    if (journal != nullptr) {
        journal->forget(entry);
        journal = nullptr;
    }
    entry.fields.clear();
}

void journalChild(JournalledChild& child, JournalRecorder* journal, std::uint32_t pid) {
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

}  // namespace halvern
