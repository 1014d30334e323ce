#pragma once

#include <filesystem>

#include "common/ExecutablePath.h"

namespace halvern::test {

// The service executable of this build, found from the test executable's own place so that no
// path of the build machine is compiled in.
inline std::filesystem::path serviceExecutable() {
    return (executablePath().parent_path() / HALVERN_SERVICE_FILE).lexically_normal();
}

}  // namespace halvern::test
