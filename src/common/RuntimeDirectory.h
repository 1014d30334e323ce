#pragma once

#include <filesystem>

namespace halvern {

// POSIX only: where the service keeps its socket, the proxy configuration and the children's
// logs. It is systemd's $RUNTIME_DIRECTORY (set by RuntimeDirectory=halvern in the unit; the
// first entry when several are listed), else /run/halvern. This plays the part that the
// temporary directory plays on Windows, and like GetTempPathW it is read afresh on every call.
std::filesystem::path runtimeDirectory();

// runtimeDirectory(), created with mode 0755 when missing. Returns false when it cannot be made.
bool ensureRuntimeDirectory();

}  // namespace halvern
