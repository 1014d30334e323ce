#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/UniqueFd.h"
#include "processes/SessionFiles.h"
#include "tunnel/LogDeltaReader.h"

namespace halvern {

LogDelta readLogFile(const std::string& fileName, std::int64_t offset, std::int64_t maxBytes,
                     const LogChunkSink& sink) {
    const std::string path = tempFilePath(fileName).string();
    // No symlink in the runtime directory may point the reader elsewhere, and O_NONBLOCK keeps
    // a FIFO planted under the log's name from blocking the open; it changes nothing for a file.
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!file.valid()) {
        return LogDelta{offset, 0};
    }
    // A size that cannot be read, or an entry that is not a plain file, is treated like a log
    // that cannot be opened: there is no meaningful size to report.
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return LogDelta{offset, 0};
    }
    const std::int64_t size = info.st_size;
    const auto plan = planLogRead(size, offset, maxBytes);
    if (!plan) {
        return LogDelta{offset, size};
    }
    std::string buffer(std::min<std::size_t>(plan->count, kLogChunkBytes), '\0');
    std::int64_t done = 0;
    while (done < plan->count) {
        const auto want =
            std::min<std::int64_t>(plan->count - done, static_cast<std::int64_t>(kLogChunkBytes));
        const ssize_t got = ::pread(file.get(), buffer.data(), static_cast<std::size_t>(want),
                                    plan->position + done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;  // a failed read, or the log shrank meanwhile: what came so far is the piece
        }
        done += got;
        if (!sink(std::string_view(buffer.data(), static_cast<std::size_t>(got)))) {
            break;
        }
    }
    return LogDelta{offset + done, size};
}

}  // namespace halvern
