#include "journal/SessionJournal.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "common/DebugOutput.h"
#include "common/ErrorText.h"
#include "common/ProcessIdentity.h"
#include "journal/JournalFormat.h"
#include "journal/JournalStore.h"

namespace halvern {

SessionJournal::SessionJournal(std::filesystem::path path)
    : path_(std::move(path)), instanceMark_(processStartMark(ownProcessId())) {}

void SessionJournal::record(const JournalEntry& entry) {
    if (std::find(entries_.begin(), entries_.end(), entry) != entries_.end()) {
        return;
    }
    entries_.push_back(entry);
    if (const std::uint32_t error = save(); error != 0) {
        entries_.pop_back();
        throw std::runtime_error("Cannot write the session journal " + path_.string() +
                                 errorCodeSuffix(error));
    }
}

void SessionJournal::forget(const JournalEntry& entry) noexcept {
    const auto found = std::find(entries_.begin(), entries_.end(), entry);
    if (found == entries_.end()) {
        return;
    }
    entries_.erase(found);
    if (const std::uint32_t error = save(); error != 0) {
        try {
            writeDebugOutput("HalvernService journal: cannot write " + path_.string() +
                             errorCodeSuffix(error) + "\n");
        } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the undo is done
        }
    }
}

// An empty journal is no file at all: a clean stop leaves nothing to replay. Returns 0 or the
// system's error (ENOMEM where memory ran out).
std::uint32_t SessionJournal::save() noexcept {
    try {
        if (entries_.empty()) {
            removeJournalStore(path_);
            return 0;
        }
        return writeJournalStore(path_, formatJournal(ownProcessId(), instanceMark_, entries_));
    } catch (...) {
        return outOfMemoryError();
    }
}

}  // namespace halvern
