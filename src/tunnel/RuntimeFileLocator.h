#pragma once

#include <filesystem>
#include <string>

namespace halvern {

// Where an outside program or library is installed: the "data" folder beside the executable,
// then the executable's own folder, else the bare name (left to the system's own search). An
// entry of any type counts as found. A status query that fails for a reason other than "not
// there" throws a runtime error naming the path rather than guessing.
std::string locateRuntimeFile(const std::string& name);

// The same search from an explicit folder; exposed for tests.
std::string locateRuntimeFileIn(const std::filesystem::path& exeDir, const std::string& name);

}  // namespace halvern
