#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The service's whole handling of JSON. There is no document model: each lookup scans the
// request from its first byte for the first string token equal to the key that is followed by a
// colon, wherever it stands, and reads the one value after it. The odd-input behaviour (first
// occurrence wins, \u becomes '?', which number texts are accepted, what gets escaped) is part of
// the wire protocol, so a general JSON library must not replace these routines.
//
// Every reader writes its output only when it succeeds; callers preset defaults and ignore the
// result.
namespace halvern {

inline constexpr std::size_t npos = std::string_view::npos;

// Position of the first byte of `key`'s value, or npos. Nothing but whitespace after the colon
// yields text.size().
std::size_t findJsonValue(std::string_view text, std::string_view key);

// Decodes the string literal whose opening quote is at `position`; on success `position` is just
// past the closing quote.
bool parseJsonString(std::string_view text, std::size_t& position, std::string& output);

bool getJsonString(std::string_view text, std::string_view key, std::string& output);

// Accepts an optional minus sign and at least one digit; whatever follows the digits is ignored.
// A value beyond the signed 64-bit range throws std::out_of_range("stoll argument out of range").
bool getJsonInt64(std::string_view text, std::string_view key, std::int64_t& output);

// An array of string literals only; a trailing comma before the bracket is accepted.
bool getJsonStringArray(std::string_view text, std::string_view key,
                        std::vector<std::string>& output);

// Escapes the bytes for use inside a string literal. Bytes from 0x7F up, and '/', pass unchanged.
std::string escapeJson(std::string_view bytes);

// A double quote, escapeJson(bytes), a double quote.
std::string quoteJson(std::string_view bytes);

}  // namespace halvern
