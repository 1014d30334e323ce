#pragma once

#include <filesystem>

namespace halvern {

// Full path of the running executable. The buffer grows as needed, so a long path is never
// returned cut short (a cut path would name a file that does not exist). Empty on failure.
std::filesystem::path executablePath();

}  // namespace halvern
