#include "journal/JournalFormat.h"

#include <gtest/gtest.h>

namespace halvern {
namespace {

// Each entry one line, whatever its fields hold; a mark that is no number becomes 0; no empty word.
TEST(JournalFormat, FieldsOfAnyBytesComeBackAsTheyWere) {
    const std::vector<JournalEntry> entries = {
        {JournalKind::serverRoute, {"", "Eth \"x\"\n%", std::string("\xC3\xA9\x00\x7F 1", 6)}},
        {JournalKind::proxyConfig, {}}};
    std::string text = formatJournal(4000000000U, "12x", entries);
    EXPECT_EQ(parseJournal(text), (ParsedJournal{4000000000U, "0", {entries[0], entries[1]}}));
    text.insert(text.rfind("\nend"), " ");
    EXPECT_EQ(parseJournal(text), (ParsedJournal{4000000000U, "0", {entries[0], std::nullopt}}));
}

}  // namespace
}  // namespace halvern
