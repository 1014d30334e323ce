#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace halvern {

// Where the crash journal's text is kept (JournalStore_posix.cpp, JournalStore_win.cpp). A
// journal's path names its store: on Linux a file, on Windows a registry value written
// "HKLM\KEY\VALUE", whose key's parent must already exist (the last key is made under it when
// missing).

// Linux: "halvern_session.journal" in the runtime directory, which survives a restart of the
// service and goes at reboot, like the routes. Windows: the value "SessionJournal" of the
// service's own key HKLM\SYSTEM\CurrentControlSet\Services\HalvernService\Parameters, which
// only SYSTEM and administrators may write and "uninstall" removes; it outlives a reboot, as
// routes added by netsh do.
std::filesystem::path sessionJournalPath();

// Replaces the store's content with `text` whole: on Linux with replaceFileAtomically (mode
// 0600, the rename flushed with the directory, which is created when missing); on Windows by one
// value write, flushed. Returns 0 or the system's error.
std::uint32_t writeJournalStore(const std::filesystem::path& path, const std::string& text);

// The system's own code for "out of memory" (ENOMEM; ERROR_NOT_ENOUGH_MEMORY), for a journal
// text that could not even be built: the message then names the cause as the store would.
std::uint32_t outOfMemoryError();

enum class JournalStoreState { absent, read, foreign };

// Reads the store when it is the service's own. Linux: a regular file (no link) owned by the
// service's account or root, that no one else can write. Windows: a binary value of at most
// 64 KiB in a key that only SYSTEM, administrators and TrustedInstaller can change (the key the
// writer makes lets users read it alone). Anything else is foreign.
JournalStoreState readJournalStore(const std::filesystem::path& path, std::string& text);

void removeJournalStore(const std::filesystem::path& path) noexcept;

}  // namespace halvern
