#include "network/ResolvConfBackup.h"

#include <algorithm>
#include <iterator>
#include <string_view>

#include "common/AddressText.h"

namespace halvern {

namespace {

constexpr std::string_view kHeader = "halvern resolv.conf backup 1\n";

// How the backup names ResolvConfEntry::Kind, in its order.
constexpr std::string_view kKinds[] = {"none", "file", "symlink"};

// At most ten digits: the writer never needs more, and a longer run is no backup of ours.
std::optional<std::uint64_t> number(std::string_view text) {
    return text.size() <= 10 ? wholeNumber(text, UINT64_MAX) : std::nullopt;
}

// Takes the next line's words and the block of bytes that its last word sizes, followed by a
// line feed, from the front of `text`; nothing when they are not there.
std::optional<std::string> takeLine(std::string_view& text, std::vector<std::string_view>& words) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    words.clear();
    for (std::size_t start = 0; start < end;) {
        const std::size_t space = std::min(text.find(' ', start), end);
        words.push_back(text.substr(start, space - start));
        start = space + 1;
    }
    text.remove_prefix(end + 1);
    const std::optional<std::uint64_t> size = words.empty() ? std::nullopt : number(words.back());
    if (!size || *size >= text.size() || text[*size] != '\n') {
        return std::nullopt;
    }
    std::string bytes(text.substr(0, *size));
    text.remove_prefix(*size + 1);
    return bytes;
}

}  // namespace

bool ResolvConfBackup::holdsOurs(const ResolvConfEntry& current) const {
    return current.kind == ResolvConfEntry::Kind::file &&
           std::find(ours.begin(), ours.end(), current.bytes) != ours.end();
}

std::string encodeResolvConfBackup(const ResolvConfBackup& backup) {
    const ResolvConfEntry& original = backup.original;
    std::string text(kHeader);
    text += "original " + std::string(kKinds[static_cast<int>(original.kind)]) + " " +
            std::to_string(original.mode) + " " + std::to_string(original.owner) + " " +
            std::to_string(original.group) + " " + std::to_string(original.bytes.size()) + "\n" +
            original.bytes + "\n";
    for (const std::string& ours : backup.ours) {
        text += "ours " + std::to_string(ours.size()) + "\n" + ours + "\n";
    }
    return text;
}

std::optional<ResolvConfBackup> decodeResolvConfBackup(std::string_view text) {
    if (!text.starts_with(kHeader)) {
        return std::nullopt;
    }
    text.remove_prefix(kHeader.size());
    std::vector<std::string_view> head;
    std::optional<std::string> bytes = takeLine(text, head);
    const auto kind = std::find(std::begin(kKinds), std::end(kKinds),
                                head.size() == 6 ? head[1] : std::string_view());
    const auto mode = head.size() == 6 ? number(head[2]) : std::nullopt;
    const auto owner = head.size() == 6 ? number(head[3]) : std::nullopt;
    const auto group = head.size() == 6 ? number(head[4]) : std::nullopt;
    if (!bytes || head[0] != "original" || kind == std::end(kKinds) || !mode || *mode > 07777 ||
        !owner || !group) {
        return std::nullopt;
    }
    ResolvConfBackup backup;
    backup.original = {static_cast<ResolvConfEntry::Kind>(kind - std::begin(kKinds)),
                       static_cast<std::uint32_t>(*mode), static_cast<std::uint32_t>(*owner),
                       static_cast<std::uint32_t>(*group), std::move(*bytes)};
    while (!text.empty()) {
        std::vector<std::string_view> line;
        std::optional<std::string> ours = takeLine(text, line);
        if (!ours || line.size() != 2 || line[0] != "ours") {
            return std::nullopt;
        }
        backup.ours.push_back(std::move(*ours));
    }
    return backup;
}

}  // namespace halvern
