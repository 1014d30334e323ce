#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/JournalRecorder.h"

namespace halvern {

// The crash journal of the running session: what the session has changed and not yet undone.
// Each entry is written to disk before its change is made and dropped once the change is undone,
// so a service that dies at any moment leaves a journal of exactly what may need undoing, and
// its next start replays it. An entry that is already there is not added twice.
//
// An entry that cannot be written fails its change before it is made (add throws), so that
// nothing exists that a dead service would leave behind unrecorded: a full /run fails the
// connect instead of leaving routes that nobody undoes. A failed rewrite after an undo is only
// reported: what it undid is gone either way. Used under the controller's lock.
class SessionJournal final : public JournalRecorder {
  public:
    explicit SessionJournal(std::filesystem::path path);
    SessionJournal(const SessionJournal&) = delete;
    SessionJournal& operator=(const SessionJournal&) = delete;

    // Throws std::runtime_error "Cannot write the session journal PATH (error N)" when the file
    // cannot be written; the entry is then not kept.
    void record(const JournalEntry& entry) override;
    void forget(const JournalEntry& entry) noexcept override;

    const std::vector<JournalEntry>& entries() const { return entries_; }

  private:
    std::uint32_t save() noexcept;

    std::filesystem::path path_;
    std::string instanceMark_;
    std::vector<JournalEntry> entries_;
};

}  // namespace halvern
