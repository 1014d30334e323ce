#include "common/AddressText.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace halvern {

namespace {

// The colon-separated groups of one side of a "::" (or of the whole text), -1 when one is not
// one to four hex digits; at the end of the text, dotted IPv4 counts as two groups.
int groupCount(std::string_view side, bool endsText) {
    int groups = 0;
    for (std::size_t start = 0; !side.empty(); ++groups) {
        const std::size_t colon = std::min(side.find(':', start), side.size());
        const std::string_view group = side.substr(start, colon - start);
        if (endsText && colon == side.size() && isIpv4Text(group)) {
            return groups + 2;
        }
        if (group.size() > 4 || !wholeNumber(group, 0xFFFF, 16)) {
            return -1;
        }
        if (colon == side.size()) {
            return groups + 1;
        }
        start = colon + 1;
    }
    return groups;
}

bool isIpv6Text(std::string_view text) {
    const std::size_t gap = text.find("::");
    if (gap == std::string_view::npos) {
        return groupCount(text, true) == 8;
    }
    const int before = groupCount(text.substr(0, gap), false);
    const int after = groupCount(text.substr(gap + 2), true);
    // One "::" only, and it stands for at least one group.
    return text.find("::", gap + 1) == std::string_view::npos && before >= 0 && after >= 0 &&
           before + after < 8;
}

}  // namespace

bool isIpv4Text(std::string_view text) {
    for (int part = 0; part < 4; ++part) {
        const std::size_t dot = part < 3 ? text.find('.') : text.size();
        const std::string_view digits = text.substr(0, dot);
        if (dot == std::string_view::npos || (digits.size() > 1 && digits[0] == '0') ||
            !wholeNumber(digits, 255)) {
            return false;
        }
        text.remove_prefix(std::min(dot + 1, text.size()));
    }
    return true;
}

bool isIpText(std::string_view text) {
    return isIpv4Text(text) || isIpv6Text(text);
}

std::string ipv4Text(std::uint32_t networkOrderAddress) {
    unsigned char bytes[4] = {};
    std::memcpy(bytes, &networkOrderAddress, sizeof(bytes));
    return std::to_string(bytes[0]) + '.' + std::to_string(bytes[1]) + '.' +
           std::to_string(bytes[2]) + '.' + std::to_string(bytes[3]);
}

std::optional<std::uint64_t> wholeNumber(std::string_view text, std::uint64_t max, int base) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (error != std::errc{} || stop != end || value > max) {
        return std::nullopt;
    }
    return value;
}

}  // namespace halvern
