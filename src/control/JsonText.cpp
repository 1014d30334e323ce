#include "control/JsonText.h"

#include <charconv>
#include <stdexcept>
#include <utility>

namespace halvern {
namespace {

bool isJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::size_t skipSpace(std::string_view text, std::size_t p) {
    while (p < text.size() && isJsonSpace(text[p])) {
        ++p;
    }
    return p;
}

// What the byte after a backslash stands for; '\0' for an escape the protocol does not know.
// \u stands for '?', its four following bytes being the caller's to skip unseen.
char decodeEscape(char escape) {
    switch (escape) {
        case '"':
        case '\\':
        case '/':
            return escape;
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        case 'u':
            return '?';
        default:
            return '\0';
    }
}

// The end (just past the closing quote) of the string literal whose opening quote is at `open`,
// read one byte at a time, or npos when the literal is malformed or does not close inside the
// text. A configuration passed as a string value holds an escape every few bytes, which is why
// this is a plain byte loop and not a chain of memchr calls.
std::size_t literalEnd(std::string_view text, std::size_t open) {
    const std::size_t n = text.size();
    if (open >= n || text[open] != '"') {
        return npos;
    }
    for (std::size_t p = open + 1; p < n;) {
        const char c = text[p++];
        if (c == '"') {
            return p;
        }
        if (c == '\\') {
            if (p == n) {
                return npos;
            }
            const char escape = text[p++];
            if (decodeEscape(escape) == '\0' || (escape == 'u' && n - p < 4)) {
                return npos;
            }
            p += escape == 'u' ? 4 : 0;  // \u swallows four bytes unseen
        }
    }
    return npos;  // the text ended inside the literal: it must close before
}

// literalEnd, storing the decoded bytes in `decoded` as it goes (on failure too: callers pass a
// scratch string). One pass, because the one literal decoded whole may be 1 MiB long.
std::size_t readLiteral(std::string_view text, std::size_t open, std::string& decoded) {
    const std::size_t n = text.size();
    if (open >= n || text[open] != '"') {
        return npos;
    }
    std::size_t size = 0;  // bytes decoded so far; the string grows ahead of them
    for (std::size_t p = open + 1; p < n;) {
        char c = text[p++];
        if (c == '"') {
            decoded.resize(size);
            return p;
        }
        if (c == '\\') {
            if (p == n) {
                return npos;
            }
            const char escape = text[p++];
            c = decodeEscape(escape);
            if (c == '\0' || (escape == 'u' && n - p < 4)) {
                return npos;
            }
            p += escape == 'u' ? 4 : 0;
        }
        // What push_back does, without its bookkeeping on every byte.
        if (size == decoded.size()) {
            decoded.resize(2 * size + 64);
        }
        decoded[size++] = c;
    }
    return npos;
}

// Whether a valid literal's body decodes to `key`, without allocating.
bool tokenEquals(std::string_view body, std::string_view key) {
    // Decoding never lengthens a body, and no decoded byte takes more than six: most tokens are
    // told apart by their length alone, long values above all.
    if (body.size() < key.size() || body.size() > 6 * key.size()) {
        return false;
    }
    std::size_t k = 0;
    for (std::size_t i = 0; i < body.size(); ++k) {
        char c = body[i++];
        if (c == '\\') {
            const char escape = body[i++];
            c = decodeEscape(escape);
            i += escape == 'u' ? 4 : 0;
        }
        if (k == key.size() || key[k] != c) {
            return false;
        }
    }
    return k == key.size();
}

}  // namespace

std::size_t findJsonValue(std::string_view text, std::string_view key) {
    std::size_t p = 0;
    while (p < text.size()) {
        const std::size_t open = text.find('"', p);
        if (open == npos) {
            return npos;
        }
        const std::size_t end = literalEnd(text, open);
        if (end == npos) {
            return npos;
        }
        if (tokenEquals(text.substr(open + 1, end - open - 2), key)) {
            p = skipSpace(text, end);
            if (p < text.size() && text[p] == ':') {
                return skipSpace(text, p + 1);
            }
        } else {
            p = end;
        }
    }
    return npos;
}

bool parseJsonString(std::string_view text, std::size_t& position, std::string& output) {
    std::string decoded;
    const std::size_t end = readLiteral(text, position, decoded);
    if (end == npos) {
        return false;
    }
    output = std::move(decoded);
    position = end;
    return true;
}

bool getJsonString(std::string_view text, std::string_view key, std::string& output) {
    std::size_t p = findJsonValue(text, key);
    if (p == npos) {
        return false;
    }
    return parseJsonString(text, p, output);
}

bool getJsonInt64(std::string_view text, std::string_view key, std::int64_t& output) {
    const std::size_t start = findJsonValue(text, key);
    if (start == npos) {
        return false;
    }
    std::size_t digits = start;
    if (digits < text.size() && text[digits] == '-') {
        ++digits;
    }
    std::size_t end = digits;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        ++end;
    }
    if (end == digits) {
        return false;
    }
    std::int64_t value = 0;
    const auto result = std::from_chars(text.data() + start, text.data() + end, value);
    if (result.ec == std::errc::result_out_of_range) {
        // The protocol's own text for this case, whatever the library would have said.
        throw std::out_of_range("stoll argument out of range");
    }
    output = value;
    return true;
}

bool getJsonStringArray(std::string_view text, std::string_view key,
                        std::vector<std::string>& output) {
    std::size_t p = findJsonValue(text, key);
    if (p == npos || p >= text.size() || text[p] != '[') {
        return false;
    }
    if (++p == text.size()) {
        return false;
    }
    std::vector<std::string> items;
    for (;;) {
        p = skipSpace(text, p);
        if (p < text.size() && text[p] == ']') {
            break;
        }
        std::string item;
        if (!parseJsonString(text, p, item)) {
            return false;
        }
        items.push_back(std::move(item));
        p = skipSpace(text, p);
        if (p == text.size()) {
            return false;
        }
        if (text[p] == ']') {
            break;
        }
        if (text[p] != ',' || ++p == text.size()) {
            return false;
        }
    }
    output = std::move(items);
    return true;
}

std::string escapeJson(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 8 + 2);
    std::size_t runStart = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c != '"' && c != '\\') {
            continue;
        }
        out.append(bytes.data() + runStart, i - runStart);
        runStart = i + 1;
        switch (c) {
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default: {
                const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                out.append(escaped, sizeof escaped);
                break;
            }
        }
    }
    out.append(bytes.data() + runStart, bytes.size() - runStart);
    return out;
}

std::string quoteJson(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 2);
    out += '"';
    out += escapeJson(bytes);
    out += '"';
    return out;
}

}  // namespace halvern
