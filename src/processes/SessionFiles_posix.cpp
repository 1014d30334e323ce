#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/ServiceDirectories.h"
#include "common/WholeFile.h"
#include "processes/ChildAccount.h"
#include "processes/SessionFiles.h"

namespace halvern {
namespace {

constexpr mode_t kLogMode = 0640;
constexpr mode_t kConfigMode = 0640;

// Opens a file of ours in the runtime directory for writing, emptied, with exactly `mode`
// whatever the umask or an earlier file said. O_NOFOLLOW: a symlink planted there fails the
// open instead of redirecting the write.
int openPrivateForWriting(const std::string& path, mode_t mode, int extraFlags = O_TRUNC) {
    int fd = -1;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | extraFlags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        ::fchmod(fd, mode);
    }
    return fd;
}

}  // namespace

std::filesystem::path tempFilePath(std::string_view fileName) {
    return runtimeDirectory() / fileName;
}

ChildLog createChildLog(std::string_view fileName) {
    try {
        return ChildLog{openPrivateForWriting(tempFilePath(fileName).string(), kLogMode)};
    } catch (...) {
        return ChildLog{};
    }
}

std::string readLogTail(std::string_view fileName, std::size_t maxBytes) noexcept {
    try {
        const std::string path = tempFilePath(fileName).string();
        const UniqueFd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW)};
        struct stat info {};
        if (!file.valid() || ::fstat(file.get(), &info) != 0 || info.st_size < 0) {
            return {};
        }
        const auto size = static_cast<std::uint64_t>(info.st_size);
        const std::size_t count = size < maxBytes ? static_cast<std::size_t>(size) : maxBytes;
        if (count != 0 && size > count &&
            ::lseek(file.get(), static_cast<off_t>(size - count), SEEK_SET) < 0) {
            return {};
        }
        // The child may still be writing: what came after the size was taken is cut off again.
        std::string tail;
        readWholeFile(file.get(), count, tail);
        tail.resize(std::min(tail.size(), count));
        return tail;
    } catch (...) {
        return {};
    }
}

ChildLog writeConfigFile(const std::string& path, const std::string& text, std::uint32_t& error) {
    // The proxy core reads it through its group, and nobody else may: it holds the client's
    // credentials. It stays root's, so that a core can never rewrite what the next session
    // reads. A new file each time: an earlier one may be a core's own (older versions handed it
    // over) or be held open by one. The group is set on the open descriptor, so no path can be
    // swapped in between. A missing account fails the connect here, before any file exists.
    const auto account = childAccount();
    ::unlink(path.c_str());
    ChildLog file{openPrivateForWriting(path, kConfigMode, O_EXCL)};
    if (!file.valid() ||
        (account && ::fchown(file.get(), static_cast<uid_t>(-1), account->gid) != 0)) {
        error = static_cast<std::uint32_t>(errno);
        return {};
    }
    // As with a stream, a failed write after a successful open goes unnoticed; the proxy core
    // reports the damaged configuration itself.
    writeWholeFile(file.get(), text);
    return file;
}

bool deleteConfigFile(ChildLog& file, const std::string& path) noexcept {
    file.reset();
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

void deleteFileQuietly(const std::string& path) noexcept {
    ::unlink(path.c_str());
}

void useSessionFolderForTesting(const std::filesystem::path& /*folder*/) {}

}  // namespace halvern
