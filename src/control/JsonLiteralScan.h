#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Finding where a JSON string literal ends, with the request's own rules: the escapes
// \" \\ \/ \b \f \n \r \t and \u (which swallows the next four bytes unseen) are valid, any other
// escape is malformed, and a literal must close inside the text.
namespace halvern::json_detail {

// `open` is the position of the opening quote. Returns the position just past the closing
// quote, or npos when the literal is malformed or unclosed. `hasEscape` tells whether the
// literal holds any backslash.
std::size_t scanStringLiteral(std::string_view text, std::size_t open, bool& hasEscape);

// The same, byte by byte; the reference that the fast path is checked against.
std::size_t scanStringLiteralBytewise(std::string_view text, std::size_t open, bool& hasEscape);

// Decodes the body (the bytes between the quotes) of a literal that scanStringLiteral accepted.
void decodeStringBody(std::string_view body, std::string& output);

// The same, byte by byte; the reference for the fast path.
void decodeStringBodyBytewise(std::string_view body, std::string& output);

// Maps the byte after a backslash to what it stands for; '\0' for an invalid escape. 'u' maps
// to '?', its four following bytes being the caller's to skip.
char decodeEscape(char escape);

}  // namespace halvern::json_detail
