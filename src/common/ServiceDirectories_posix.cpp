#include "common/ServiceDirectories.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace halvern {

std::filesystem::path runtimeDirectory() {
    const char* fromSystemd = std::getenv("RUNTIME_DIRECTORY");  // NOLINT(concurrency-mt-unsafe)
    if (fromSystemd != nullptr && *fromSystemd != '\0') {
        const std::string list = fromSystemd;
        return list.substr(0, list.find(':'));
    }
    return kControlDirectory;
}

bool ensureServiceDirectory(const std::filesystem::path& directory) {
    const std::string path = directory.string();
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        return false;
    }
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        return false;
    }
    if (!S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) {
        errno = S_ISDIR(info.st_mode) ? EPERM : ENOTDIR;
        return false;
    }
    // The umask may have narrowed a new directory, and an old one may carry any mode: group
    // members must reach the socket inside, and nobody but the owner may add files.
    return (info.st_mode & 07777) == 0755 || ::chmod(path.c_str(), 0755) == 0;
}

}  // namespace halvern
