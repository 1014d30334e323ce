#include "control/JsonText.h"

#include <bit>
#include <charconv>
#include <cstring>
#include <stdexcept>

#include "control/JsonLiteralScan.h"

namespace halvern {
namespace {

using json_detail::decodeEscape;
using json_detail::scanStringLiteral;

bool isJsonSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::size_t skipSpace(std::string_view text, std::size_t p) {
    while (p < text.size() && isJsonSpace(text[p])) {
        ++p;
    }
    return p;
}

// Compares the decoded form of a valid literal's body with `key`, without allocating.
bool decodedEquals(std::string_view body, std::string_view key) {
    std::size_t k = 0;
    for (std::size_t i = 0; i < body.size();) {
        char c = body[i++];
        if (c == '\\') {
            const char escape = body[i++];
            c = decodeEscape(escape);
            if (escape == 'u') {
                i += 4;
            }
        }
        if (k == key.size() || key[k] != c) {
            return false;
        }
        ++k;
    }
    return k == key.size();
}

bool literalEquals(std::string_view body, bool hasEscape, std::string_view key) {
    if (!hasEscape) {
        return body == key;
    }
    // An escape is at most six bytes for one decoded byte.
    if (body.size() > 6 * key.size()) {
        return false;
    }
    return decodedEquals(body, key);
}

}  // namespace

std::size_t findJsonValue(std::string_view text, std::string_view key) {
    std::size_t p = 0;
    while (p < text.size()) {
        const void* hit = std::memchr(text.data() + p, '"', text.size() - p);
        if (hit == nullptr) {
            return npos;
        }
        const auto open = static_cast<std::size_t>(static_cast<const char*>(hit) - text.data());
        bool hasEscape = false;
        const std::size_t end = scanStringLiteral(text, open, hasEscape);
        if (end == npos) {
            return npos;
        }
        if (literalEquals(text.substr(open + 1, end - open - 2), hasEscape, key)) {
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
    bool hasEscape = false;
    const std::size_t end = scanStringLiteral(text, position, hasEscape);
    if (end == npos) {
        return false;
    }
    const std::string_view body = text.substr(position + 1, end - position - 2);
    if (hasEscape) {
        json_detail::decodeStringBody(body, output);
    } else {
        output.assign(body);
    }
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
