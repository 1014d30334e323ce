// libFuzzer target for the readers of request bytes (JSON, DNS server addresses) and the one-line
// escape of a child's output; it aborts when one departs from a plain reading of the rules.
#include <arpa/inet.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/AddressText.h"
#include "common/ByteEscape.h"
#include "control/JsonText.h"

namespace halvern {
namespace {

void check(bool holds, const char* property) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}

constexpr std::string_view kSpace = " \t\n\v\f\r";

// The string literal rules as plainly as they are stated.
bool referenceParse(std::string_view text, std::size_t& position, std::string& output) {
    std::size_t p = position;
    if (p >= text.size() || text[p++] != '"') {
        return false;
    }
    std::string decoded;
    while (p < text.size()) {
        const char c = text[p++];
        if (c == '"') {
            output = decoded;
            position = p;
            return true;
        }
        if (c != '\\') {
            decoded += c;
            continue;
        }
        const std::string_view from = "\"\\/bfnrtu", to = "\"\\/\b\f\n\r\t?";
        if (p == text.size() || from.find(text[p]) == npos ||
            (text[p] == 'u' && text.size() - p < 5)) {
            return false;
        }
        decoded += to[from.find(text[p])];
        p += text[p] == 'u' ? 5 : 1;
    }
    return false;
}

std::size_t referenceFind(std::string_view text, std::string_view key) {
    for (std::size_t p = text.find('"'); p != npos; p = text.find('"', p)) {
        std::string token;
        if (!referenceParse(text, p, token)) {
            return npos;
        }
        const std::size_t colon = std::min(text.find_first_not_of(kSpace, p), text.size());
        if (token == key && colon < text.size() && text[colon] == ':') {
            return std::min(text.find_first_not_of(kSpace, colon + 1), text.size());
        }
    }
    return npos;
}

// RFC 3629 read plainly (shortest forms, no surrogates, nothing past U+10FFFF); no control.
bool printableUtf8(std::string_view text) {
    static constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0, length = 1; i < text.size(); i += length) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int ones = std::countl_one(lead);  // a lead byte's leading ones give the length
        length = ones == 0 ? 1 : ones >= 2 && ones <= 4 ? static_cast<std::size_t>(ones) : 0;
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

// The escaped line is printable UTF-8 and, without a backslash in the input, undoes to it.
void checkLineEscape(std::string_view input) {
    const std::string escaped = escapeBytes(input);
    check(printableUtf8(escaped), "escapeBytes leaves printable UTF-8");
    if (input.find('\\') != npos) {
        return;
    }
    std::string undone;
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const bool escape = escaped[i] == '\\';
        undone += escape ? static_cast<char>(std::stoi(escaped.substr(i + 2, 2), nullptr, 16))
                         : escaped[i];
        i += escape ? 3 : 0;
    }
    check(undone == input, "escapeBytes undoes to the input");
}

// glibc's inet_pton is the reference; a NUL ends its text, and an address holds none.
void checkAddressText(std::string_view input) {
    const std::string text(input);
    in_addr v4{};
    in6_addr v6{};
    const bool whole = text.find('\0') == npos;
    const bool ipv4 = whole && inet_pton(AF_INET, text.c_str(), &v4) == 1;
    check(isIpv4Text(text) == ipv4, "isIpv4Text reads as inet_pton");
    check(isIpText(text) == (ipv4 || (whole && inet_pton(AF_INET6, text.c_str(), &v6) == 1)),
          "isIpText reads as inet_pton");
    check(!ipv4 || ipv4Text(v4.s_addr) == text, "ipv4Text gives back the text");
}

void checkReaders(std::string_view text) {
    std::size_t open = text.find('"');
    for (int n = 0; n < 8 && open != npos; ++n, open = text.find('"', open + 1)) {
        std::size_t p = open, q = open;
        std::string read = "unchanged", expected = "unchanged";
        check(parseJsonString(text, p, read) == referenceParse(text, q, expected) && p == q &&
                  read == expected,
              "parseJsonString follows the rules");
    }
    for (const std::string_view key : {"command", "configJson", "offset", "a/b", "?"}) {
        check(findJsonValue(text, key) == referenceFind(text, key),
              "findJsonValue follows the rules");
        std::int64_t number = 0;  // the readers' other properties are the unit tests'
        try {
            getJsonInt64(text, key, number);
        } catch (const std::out_of_range&) {
        }
        std::vector<std::string> list;
        getJsonStringArray(text, key, list);
    }
}

}  // namespace
}  // namespace halvern

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    halvern::checkReaders(text);
    halvern::checkLineEscape(text);
    halvern::checkAddressText(text);
    return 0;
}
