#pragma once

#include <windows.h>

#include <filesystem>

#include "common/WinHandle.h"

// The folder that holds a session's files (the proxy configuration, which carries the client's
// credentials, and the two children's logs), and the only ways they are made and read. No user
// may create anything in it first: LocalSystem's own temporary folder (C:\Windows\Temp) lets
// every user plant a file or link at a name the service is about to write.
namespace halvern {

// GetTempPath2W's folder where the system has that call (SystemTemp for SYSTEM), else "runtime"
// beside the executable. Read afresh on every call; nothing is created or checked.
std::filesystem::path sessionFolder();

// Makes the session folder when it is the one beside the executable (SYSTEM and the
// administrators alone may use it), then checks it: opened without following a reparse point,
// it must be a folder and no reparse point, and only the trusted accounts may change it (see
// ObjectSecurity_win.h). ERROR_SUCCESS or the reason it is not to be used.
DWORD prepareSessionFolder(const std::filesystem::path& folder);

// A new file at `path` in the checked session folder, for `access`: a stale one is deleted first
// (any failure but "not found" is returned), then the file is made with CREATE_NEW, never
// through a reparse point, readable and writable by SYSTEM and the administrators alone, shared
// for reading, writing (a child's output) and deletion, and inheritable when `inheritable`.
// INVALID_HANDLE_VALUE with `error` set when any step fails.
UniqueFileHandle createSessionFile(const std::filesystem::path& path, DWORD access,
                                   bool inheritable, DWORD& error);

// `path` opened for reading when it is a regular file with one link, not a reparse point;
// INVALID_HANDLE_VALUE otherwise. Shared with the children's writers and with a deletion.
UniqueFileHandle openSessionFileForReading(const std::filesystem::path& path);

// Deletes the file open as `file` (whichever name it has now), through a handle reopened on it
// for deletion; ERROR_SUCCESS or the system's code.
DWORD deleteOpenFile(const UniqueFileHandle& file);

// Removes the session's files, and the folder itself when it is the one beside the executable:
// what uninstall leaves of the product. Never throws.
void removeSessionFiles() noexcept;

}  // namespace halvern
