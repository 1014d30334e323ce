#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "common/UniqueFd.h"
#include "processes/ProcessLauncher.h"
#include "tunnel/LogDeltaReader.h"

namespace halvern {

LogDelta readLogFile(const char* fileName, std::int64_t offset, std::int64_t maxBytes) {
    const std::string path = ProcessLauncher::tempFilePath(fileName).string();
    // No symlink in the runtime directory may point the reader elsewhere, and O_NONBLOCK keeps
    // a FIFO planted under the log's name from blocking the open; it changes nothing for a file.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!file.valid()) {
        return LogDelta{{}, offset, 0};
    }
    // A size that cannot be read, or an entry that is not a plain file, is treated like a log
    // that cannot be opened: there is no meaningful size to report.
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return LogDelta{{}, offset, 0};
    }
    const std::int64_t size = info.st_size;
    const auto plan = planLogRead(size, offset, maxBytes);
    if (!plan) {
        return LogDelta{{}, offset, size};
    }
    std::string buffer(plan->count, '\0');
    ssize_t got = 0;
    do {
        got = ::pread(file.get(), buffer.data(), buffer.size(), plan->position);
    } while (got < 0 && errno == EINTR);
    const std::size_t bytesRead = got > 0 ? static_cast<std::size_t>(got) : 0;
    buffer.resize(bytesRead);
    return LogDelta{std::move(buffer), offset + static_cast<std::int64_t>(bytesRead), size};
}

}  // namespace halvern
