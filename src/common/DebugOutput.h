#pragma once

#include <string>
#include <string_view>

namespace halvern {

// The service's only trace channel: the debugger output on Windows, stderr on POSIX (where
// journald keeps it). `text` is written as one piece and should end with a line feed. On POSIX
// the rest of it goes through escapeForOneLine, so one call is always one line.
void writeDebugOutput(const std::string& text) noexcept;

// POSIX: `text` with every control byte (below 0x20, and 0x7F), every C1 control and every byte
// that is not part of well-formed UTF-8 written as \xNN (lower-case hex); the rest unchanged.
std::string escapeForOneLine(std::string_view text);

}  // namespace halvern
