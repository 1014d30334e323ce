#include <unistd.h>

#include <cerrno>

#include "common/ByteEscape.h"
#include "common/DebugOutput.h"

namespace halvern {

// Whatever a line quotes (a child's log tail above all) stays inside it: the service's stderr is
// what journald files under the service's name, and a child must not be able to add lines to it
// or send escape sequences to whoever reads it.
void writeDebugOutput(const std::string& text) noexcept {
    std::string line;
    try {
        const bool ended = !text.empty() && text.back() == '\n';
        line = escapeBytes(std::string_view(text).substr(0, text.size() - (ended ? 1 : 0)));
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
