#pragma once

#include <string>
#include <string_view>

namespace halvern {

enum class LineFeedsAndTabs { escaped, kept };
enum class HexDigits { lowerCase, upperCase };

// `text` with every control byte (below 0x20, and 0x7F), every C1 control and every byte that is
// not part of well-formed UTF-8 written as \xNN; the rest unchanged. What a child or a client
// wrote then can neither add lines of its own nor reach a terminal as an escape sequence (U+009B
// is one).
std::string escapeBytes(std::string_view text, LineFeedsAndTabs breaks = LineFeedsAndTabs::escaped,
                        HexDigits digits = HexDigits::lowerCase);

}  // namespace halvern
