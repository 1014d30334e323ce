#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
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

// The file's text: a header line, the instance that wrote it (process id and start mark), one
// line per entry with its fields percent-encoded, and an end line that a complete file has.
std::string formatJournal(std::uint32_t instancePid, const std::string& instanceMark,
                          const std::vector<JournalEntry>& entries);

struct ParsedJournal {
    std::uint32_t instancePid = 0;
    std::string instanceMark;
    std::vector<std::optional<JournalEntry>> entries;  // empty for a line that is no entry
};

// Nothing when `text` is not a complete journal in the form above.
std::optional<ParsedJournal> parseJournal(const std::string& text);

// The platform's part (SessionJournal_posix.cpp, SessionJournal_win.cpp). A journal's path names
// its store: on Linux a file, on Windows a registry value written "HKLM\KEY\VALUE", whose key's
// parent must already exist (the last key is made under it when missing).

// Linux: "halvern_session.journal" in the runtime directory, which survives a restart of the
// service and goes at reboot, like the routes. Windows: the value "SessionJournal" of the
// service's own key HKLM\SYSTEM\CurrentControlSet\Services\HalvernService\Parameters, which
// only SYSTEM and administrators may write and "uninstall" removes; it outlives a reboot, as
// routes added by netsh do.
std::filesystem::path sessionJournalPath();

// Replaces the store's content with `text` whole: on Linux through a temporary file beside it,
// flushed to disk and renamed over it (the directory is created when missing); on Windows by
// one value write, flushed. Returns 0 or the system's error.
std::uint32_t writeJournalFile(const std::filesystem::path& path, const std::string& text);

enum class JournalFileState { absent, read, foreign };

// Reads the store when it is the service's own. Linux: a regular file (no link) owned by the
// service's account or root, that no one else can write. Windows: a binary value of at most
// 64 KiB in a key that only SYSTEM, administrators and TrustedInstaller can change (the key the
// writer makes lets users read it alone). Anything else is foreign.
JournalFileState readJournalFile(const std::filesystem::path& path, std::string& text);

void removeJournalFile(const std::filesystem::path& path) noexcept;

}  // namespace halvern
