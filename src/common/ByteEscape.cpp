#include "common/ByteEscape.h"

#include <cstdint>

namespace halvern {
namespace {

// The length of the well-formed UTF-8 sequence at `at`, 0 when there is none: no overlong form,
// no surrogate, nothing past U+10FFFF. C1 controls (U+0080 to U+009F) count as none too: some
// terminals act on them as on escape sequences.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    static constexpr std::uint32_t kLowest[] = {0, 0, 0xA0, 0x800, 0x10000};
    const auto lead = static_cast<unsigned char>(text[at]);
    const std::size_t length = lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length == 0 || lead > 0xF4 || text.size() - at < length) {
        return 0;
    }
    std::uint32_t code = lead & (0x7FU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0U) != 0x80U) {
            return 0;
        }
        code = (code << 6U) | (next & 0x3FU);
    }
    const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    return code < kLowest[length] || code > 0x10FFFF || surrogate ? 0 : length;
}

}  // namespace

std::string escapeBytes(std::string_view text, LineFeedsAndTabs breaks, HexDigits digits) {
    const char* hex = digits == HexDigits::upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        const std::size_t length = c < 0x80 ? 1 : sequenceLength(text, at);
        const bool kept = breaks == LineFeedsAndTabs::kept && (c == '\n' || c == '\t');
        if (length == 0 || ((c < 0x20 || c == 0x7F) && !kept)) {
            out += "\\x";
            out += hex[c >> 4U];
            out += hex[c & 0xFU];
            ++at;
            continue;
        }
        out.append(text.substr(at, length));
        at += length;
    }
    return out;
}

}  // namespace halvern
