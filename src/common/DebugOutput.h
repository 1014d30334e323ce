#pragma once

#include <string>

namespace halvern {

// The service's only trace channel: the debugger output on Windows, stderr on POSIX (where
// journald keeps it). `text` is written as one piece and should end with a line feed. On POSIX
// the rest of it goes through escapeBytes, line feeds included, so one call is always one line.
void writeDebugOutput(const std::string& text) noexcept;

}  // namespace halvern
