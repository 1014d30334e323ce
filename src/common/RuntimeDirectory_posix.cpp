#include "common/RuntimeDirectory.h"

#include <sys/stat.h>

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
    return "/run/halvern";
}

bool ensureRuntimeDirectory() {
    const std::string path = runtimeDirectory().string();
    if (::mkdir(path.c_str(), 0755) == 0) {
        return true;
    }
    struct stat info {};
    return errno == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace halvern
