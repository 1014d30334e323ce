#include <system_error>

#include "common/ExecutablePath.h"

namespace halvern {

std::filesystem::path executablePath() {
    std::error_code error;  // an empty path on failure
    return std::filesystem::read_symlink("/proc/self/exe", error);
}

}  // namespace halvern
