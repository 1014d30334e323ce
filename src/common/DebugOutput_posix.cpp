#include <unistd.h>

#include <cerrno>

#include "common/DebugOutput.h"

namespace halvern {

void writeDebugOutput(const std::string& text) noexcept {
    const char* data = text.data();
    std::size_t left = text.size();
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
