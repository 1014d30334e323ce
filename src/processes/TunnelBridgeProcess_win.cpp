#include <windows.h>

#include <filesystem>
#include <stdexcept>

#include "common/ErrorText.h"
#include "common/ProcessIdentity.h"
#include "common/SessionNames.h"
#include "common/WinFileErrors.h"
#include "processes/TunnelBridgeProcess.h"

namespace halvern {
namespace {

// The existence test: anything at the path, file or directory, counts. The errors that mean
// "nothing there" count as absent; any other failure (access denied, for example) is raised,
// naming the operation and the path, rather than launching a bridge that may lack its driver.
bool entryExists(const std::filesystem::path& path) {
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return true;
    }
    const DWORD error = GetLastError();
    if (!isNotThereError(error)) {
        throw std::runtime_error("Failed to query " + path.string() + errorCodeSuffix(error));
    }
    return false;
}

}  // namespace

std::string tunnelAdapterName() {
    return std::string(session::kAdapterPrefix) + "_Tun_" + std::to_string(ownProcessId());
}

void TunnelBridgeProcess::ensureWintun() const {
    const std::filesystem::path target =
        std::filesystem::path(exePath_).parent_path() / "wintun.dll";
    if (entryExists(target)) {
        return;
    }
    const std::filesystem::path source{wintunPath_};
    if (!entryExists(source)) {
        return;  // the bridge starts all the same and reports a missing driver itself
    }
    // Fail-if-exists: a file that appeared meanwhile is left as it is. The copy stays after
    // disconnect; it is the driver the next connect needs as well.
    if (!CopyFileW(source.c_str(), target.c_str(), TRUE)) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS) {
            throw std::runtime_error("Failed to copy " + source.string() + " to " +
                                     target.string() + errorCodeSuffix(error));
        }
    }
}

}  // namespace halvern
