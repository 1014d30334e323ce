// libFuzzer: a child's output escaped for a stderr line is printable UTF-8 and undoes to itself.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/DebugOutput.h"

namespace {

// RFC 3629 read plainly (shortest forms, no surrogates, nothing past U+10FFFF); no control.
bool printableUtf8(std::string_view text) {
    static constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0, length = 1; i < text.size(); i += length) {
        const auto lead = static_cast<unsigned char>(text[i]);
        length = lead < 0x80    ? 1
                 : lead >= 0xF8 ? 0
                 : lead >= 0xF0 ? 4
                 : lead >= 0xE0 ? 3
                 : lead >= 0xC0 ? 2
                                : 0;
        if (length == 0 || i + length > text.size()) {
            return false;
        }
        std::uint32_t code = length == 1 ? lead : lead & (0x7FU >> length);
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            code = (next & 0xC0U) == 0x80U ? (code << 6U) | (next & 0x3FU) : 0;
        }
        if (code < std::max<std::uint32_t>(kShortest[length], 0x20) || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF) || (code >= 0x7F && code <= 0x9F)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string escaped = halvern::escapeForOneLine(input);
    std::string undone;  // meaningful where the input holds no backslash of its own
    for (std::size_t i = 0; i < escaped.size() && input.find('\\') == std::string_view::npos; ++i) {
        const bool escape = escaped[i] == '\\';
        undone += escape ? static_cast<char>(std::stoi(escaped.substr(i + 2, 2), nullptr, 16))
                         : escaped[i];
        i += escape ? 3 : 0;
    }
    if (!printableUtf8(escaped) ||
        (input.find('\\') == std::string_view::npos && undone != input)) {
        std::abort();
    }
    return 0;
}
