#pragma once

#include <filesystem>

// POSIX only: the service's two places under /run.
namespace halvern {

// The control socket's directory. Clients know the socket by its one fixed path,
// /run/halvern/HalvernService.sock, so nothing (the environment included) moves it.
inline constexpr const char* kControlDirectory = "/run/halvern";

// Where the service keeps the proxy configuration and the children's logs: systemd's
// $RUNTIME_DIRECTORY (the unit's RuntimeDirectory=halvern makes it /run/halvern; the first entry
// when several are listed), else /run/halvern. It plays the part of the Windows temporary
// directory and, like GetTempPathW, is read afresh on every call. It never decides where the
// socket is: a unit or a test that names another directory moves the files, not the endpoint.
std::filesystem::path runtimeDirectory();

// Makes `directory` a directory of this account with mode 0755, whatever the umask, creating it
// when missing. Fails (errno set) when it cannot be made, is not a directory (a symbolic link
// included) or belongs to another account.
bool ensureServiceDirectory(const std::filesystem::path& directory);

}  // namespace halvern
