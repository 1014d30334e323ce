#include "journal/JournalFormat.h"

#include <algorithm>
#include <utility>

#include "common/AddressText.h"

namespace halvern {
namespace {

constexpr const char* kHeader = "HalvernService session journal 1";
constexpr const char* kEnd = "end";
constexpr std::size_t kMaxLines = 256;

bool isPlain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == ':' || c == '/';
}

// Every byte outside a small safe set becomes %XX, so a field can hold spaces, quotes, line
// feeds or UTF-8 and still be one word of one line.
std::string encodeField(const std::string& field) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char c : field) {
        if (isPlain(c)) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4U];
            out += kHex[byte & 0xFU];
        }
    }
    return out.empty() ? "%" : out;  // a lone % stands for the empty field
}

std::optional<std::string> decodeField(const std::string& word) {
    if (word == "%") {
        return std::string{};
    }
    if (word.empty()) {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 0; i < word.size(); ++i) {
        if (isPlain(word[i])) {
            out += word[i];
            continue;
        }
        const std::optional<std::uint64_t> value =
            word[i] == '%' && i + 2 < word.size()
                ? wholeNumber(std::string_view(word).substr(i + 1, 2), 0xFF, 16)
                : std::nullopt;
        if (!value) {
            return std::nullopt;
        }
        out += static_cast<char>(*value);
        i += 2;
    }
    return out;
}

std::vector<std::string> splitWords(const std::string& line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at <= line.size()) {
        const std::size_t space = std::min(line.find(' ', at), line.size());
        words.push_back(line.substr(at, space - at));
        at = space + 1;
    }
    return words;
}

bool isDecimal(const std::string& text) {
    return !text.empty() && text.size() <= 20 &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

std::optional<JournalEntry> parseEntry(const std::string& line) {
    const std::vector<std::string> words = splitWords(line);
    if (words[0].empty() ||
        words[0].find_first_not_of("abcdefghijklmnopqrstuvwxyz-") != std::string::npos) {
        return std::nullopt;
    }
    JournalEntry entry{words[0], {}};
    for (std::size_t i = 1; i < words.size(); ++i) {
        std::optional<std::string> field = decodeField(words[i]);
        if (!field) {
            return std::nullopt;
        }
        entry.fields.push_back(std::move(*field));
    }
    return entry;
}

}  // namespace

std::string formatJournal(std::uint32_t instancePid, const std::string& instanceMark,
                          const std::vector<JournalEntry>& entries) {
    std::string text = std::string(kHeader) + "\ninstance " + std::to_string(instancePid) + " " +
                       (isDecimal(instanceMark) ? instanceMark : "0") + "\n";
    for (const JournalEntry& entry : entries) {
        text += entry.kind;
        for (const std::string& field : entry.fields) {
            text += ' ';
            text += encodeField(field);
        }
        text += '\n';
    }
    return text + kEnd + "\n";
}

std::optional<ParsedJournal> parseJournal(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size() && lines.size() <= kMaxLines) {
        const std::size_t lineFeed = text.find('\n', at);
        if (lineFeed == std::string::npos) {
            return std::nullopt;  // torn: a complete file ends with a line feed
        }
        lines.push_back(text.substr(at, lineFeed - at));
        at = lineFeed + 1;
    }
    if (lines.size() < 3 || lines.size() > kMaxLines || lines.front() != kHeader ||
        lines.back() != kEnd) {
        return std::nullopt;
    }
    const std::vector<std::string> instance = splitWords(lines[1]);
    ParsedJournal parsed;
    const std::optional<std::uint64_t> pid =
        instance.size() == 3 ? wholeNumber(instance[1], 0xFFFFFFFFU) : std::nullopt;
    if (!pid || instance[0] != "instance" || instance[1].size() > 20 || !isDecimal(instance[2])) {
        return std::nullopt;
    }
    parsed.instancePid = static_cast<std::uint32_t>(*pid);
    parsed.instanceMark = instance[2];
    for (std::size_t i = 2; i + 1 < lines.size(); ++i) {
        parsed.entries.push_back(parseEntry(lines[i]));
    }
    return parsed;
}

}  // namespace halvern
