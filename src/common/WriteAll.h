#pragma once

#include <unistd.h>

#include <cerrno>
#include <string>

namespace halvern {

// POSIX only: writes all of `bytes` at the start of the file behind `fd`, resuming after short
// writes and EINTR. The service's own files (the crash journal, the resolv.conf it writes and
// its backup) are written whole this way. False on any other failure, with errno set.
inline bool writeWholeFile(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count =
            ::pwrite(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace halvern
