#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/JournalRecorder.h"

// The crash journal's text, the same on every platform (JournalStore.h keeps it): a header line,
// the instance that wrote it (process id and start mark), one line per entry with its fields
// percent-encoded, and an end line that a complete journal has.
namespace halvern {

std::string formatJournal(std::uint32_t instancePid, const std::string& instanceMark,
                          const std::vector<JournalEntry>& entries);

struct ParsedJournal {
    std::uint32_t instancePid = 0;
    std::string instanceMark;
    std::vector<std::optional<JournalEntry>> entries;  // empty for a line that is no entry
    bool operator==(const ParsedJournal&) const = default;
};

// Nothing when `text` is not a complete journal in the form above.
std::optional<ParsedJournal> parseJournal(const std::string& text);

}  // namespace halvern
