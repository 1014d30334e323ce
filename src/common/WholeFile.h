#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace halvern {

// POSIX only: appends what the file behind `fd` holds from its current offset to its end,
// resuming after short reads and EINTR. False with errno set on a read error, or with EFBIG once
// more than `maxBytes` came (what did come stays in `bytes`). The service reads its own small
// files this way: the crash journal, /etc/resolv.conf and its backup, /proc/PID/stat.
inline bool readWholeFile(int fd, std::size_t maxBytes, std::string& bytes) {
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof(buffer));
        if (count == 0) {
            return true;
        }
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.append(buffer, static_cast<std::size_t>(count));
        if (bytes.size() > maxBytes) {
            errno = EFBIG;
            return false;
        }
    }
}

// POSIX only: writes all of `bytes` at the start of the file behind `fd`, resuming after short
// writes and EINTR. False on any other failure, with errno set.
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

struct FileOwner {
    uid_t uid;
    gid_t gid;
};

// What differs between the files that replaceFileAtomically writes.
struct AtomicFileOptions {
    mode_t mode;                     // set with fchmod, whatever the umask
    std::optional<FileOwner> owner;  // best effort: without CAP_CHOWN the file stays ours
    bool syncDirectory = false;      // also flush the rename itself, with the directory
};

// POSIX only, the service's one atomic writer (the crash journal, the resolv.conf it writes and
// its backup, the systemd unit): `bytes` go into a new file beside `path` (".NAME.halvern-new",
// created exclusively, no link followed, close-on-exec; a leftover of a write that died half-way
// is removed first), which is flushed to disk and renamed over `path`, so that a reader sees the
// old content or the new, never a part. Returns 0 or the errno of the failing step (ENOMEM when
// memory ran out); the temporary file is then gone.
int replaceFileAtomically(const std::filesystem::path& path, const std::string& bytes,
                          const AtomicFileOptions& options) noexcept;

}  // namespace halvern
