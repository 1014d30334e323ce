#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#ifdef _WIN32
#include "common/WinHandle.h"
#else
#include "common/UniqueFd.h"
#endif

// The files of a session in the folder of the service's own: the children's logs and the proxy
// configuration.
namespace halvern {

// The service's handle on a file a child writes: its log, or the proxy configuration.
#ifdef _WIN32
using ChildLog = UniqueFileHandle;  // INVALID_HANDLE_VALUE when there is none
#else
using ChildLog = UniqueFd;  // -1 when there is none
#endif

// Path of `fileName` in the folder of the session's files, which is read afresh on every call:
// the runtime directory on POSIX; on Windows a folder no user can create files in (see
// SessionFolder_win.h).
std::filesystem::path tempFilePath(std::string_view fileName);

// Creates the child's log anew in that folder, at a connect; a child started again later in the
// same session writes on through the handle its record keeps, after what is there. On POSIX a
// log that cannot be made gives no handle, and the child starts without captured output. On
// Windows a stale file that cannot be removed, or a folder that is not the service's own,
// throws "Failed to create PATH (error N)": no byte of the session may reach a file someone
// else made.
ChildLog createChildLog(std::string_view fileName);

// At most the last `maxBytes` bytes of the log in the temporary directory, untouched; empty
// when the log cannot be read. Never throws.
std::string readLogTail(std::string_view fileName, std::size_t maxBytes) noexcept;

// Writes the proxy configuration to a file made anew (Windows: in text mode, readable by SYSTEM
// and the administrators alone; POSIX: byte for byte, readable by the core's account and the
// service), never through a link. Returns the handle it was written through, which the caller
// keeps until deleteConfigFile; no handle when the file could not be made, with `error` set.
ChildLog writeConfigFile(const std::string& path, const std::string& text, std::uint32_t& error);

// Deletes the configuration written through `file` (Windows: by that handle, whatever name
// it has now) and closes it. True when it is gone, so that its journal entry may go too.
bool deleteConfigFile(ChildLog& file, const std::string& path) noexcept;

// Deletes a file; the outcome is not reported.
void deleteFileQuietly(const std::string& path) noexcept;

// Test seam: while not empty, the folder of the session's files on Windows is `folder` instead of
// the system's, checked like it (POSIX takes $RUNTIME_DIRECTORY, which tests set). The service
// never sets it.
void useSessionFolderForTesting(const std::filesystem::path& folder);

}  // namespace halvern
