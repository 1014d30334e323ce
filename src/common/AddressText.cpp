#include "common/AddressText.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace halvern {

namespace {

bool isIpv6Text(std::string_view text) {
    int groups = 0;  // as written; an IPv4 tail counts two
    bool compressed = text.starts_with("::");
    std::string_view rest = compressed ? text.substr(2) : text;
    while (!rest.empty() || !compressed) {
        const std::size_t colon = rest.find(':');
        const std::string_view group = rest.substr(0, colon);
        if (colon == std::string_view::npos && group.find('.') != std::string_view::npos) {
            if (!isIpv4Text(group)) {
                return false;
            }
            groups += 2;
            break;
        }
        if (group.empty() || group.size() > 4 || !wholeNumber(group, 0xFFFF, 16)) {
            return false;
        }
        ++groups;
        if (colon == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(colon + 1);
        if (rest.starts_with(':')) {
            if (compressed) {
                return false;
            }
            compressed = true;
            rest.remove_prefix(1);
        } else if (rest.empty()) {
            return false;  // a group must follow a single colon
        }
    }
    return compressed ? groups < 8 : groups == 8;
}

}  // namespace

bool isIpv4Text(std::string_view text) {
    int parts = 0;
    for (std::size_t start = 0; parts < 4; ++parts) {
        const std::size_t dot = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, dot - start);
        if ((part.size() > 1 && part[0] == '0') || !wholeNumber(part, 255)) {
            return false;
        }
        if (dot == text.size()) {
            return parts == 3;
        }
        start = dot + 1;
    }
    return false;
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
    if (text.empty() || error != std::errc{} || stop != end || value > max) {
        return std::nullopt;
    }
    return value;
}

}  // namespace halvern
