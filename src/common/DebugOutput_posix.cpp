#include <unistd.h>

#include <cerrno>

#include "common/DebugOutput.h"

namespace halvern {
namespace {

// The length of the well-formed UTF-8 sequence at `at`, 0 when there is none. C1 controls
// (U+0080 to U+009F) count as none: some terminals act on them as on escape sequences.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;  // the range of the second byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        low = lead == 0xC2 ? 0xA0 : 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || at + length > text.size() || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string escapeForOneLine(std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        const std::size_t length = c < 0x80 ? 1 : sequenceLength(text, at);
        if (length == 0 || c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += kHex[c >> 4U];
            out += kHex[c & 0xFU];
            ++at;
            continue;
        }
        out.append(text.substr(at, length));
        at += length;
    }
    return out;
}

// Whatever a line quotes (a child's log tail above all) stays inside it: the service's stderr is
// what journald files under the service's name, and a child must not be able to add lines to it
// or send escape sequences to whoever reads it.
void writeDebugOutput(const std::string& text) noexcept {
    std::string line;
    try {
        const bool ended = !text.empty() && text.back() == '\n';
        line = escapeForOneLine(std::string_view(text).substr(0, text.size() - (ended ? 1 : 0)));
        if (ended) {
            line += '\n';
        }
    } catch (...) {
        return;  // out of memory: no line rather than an unescaped one
    }
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace halvern
