#include <sys/stat.h>

#include <cerrno>

#include "tunnel/BundledFiles.h"

namespace halvern {

const char* driverLibraryFileName() {
    return "";
}

std::filesystem::path placeOthersMayChange(const std::filesystem::path& /*path*/) {
    return {};
}

EntryQuery queryEntry(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        return {EntryQuery::Outcome::present, 0};
    }
    const int error = errno;
    // "Not there": no such entry, a file where a directory was expected on the way, or a path
    // longer than any that can exist. A dangling symlink reads as ENOENT and so as absent.
    if (error == ENOENT || error == ENOTDIR || error == ENAMETOOLONG) {
        return {EntryQuery::Outcome::absent, static_cast<std::uint32_t>(error)};
    }
    return {EntryQuery::Outcome::failed, static_cast<std::uint32_t>(error)};
}

NarrowPath narrowPath(const std::filesystem::path& path) {
    return {path.string(), true};
}

}  // namespace halvern
