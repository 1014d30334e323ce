#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

namespace halvern {

class NetworkSystem;
class SessionJournal;

// Receives one line, without a line feed, for each item that the recovery undid or passed over.
using RecoveryReport = std::function<void(const std::string&)>;

// Replays the crash journal (journal/SessionJournal.h) that a service instance left when it ended
// without its stop. The service runs it at start, before its endpoint accepts any request:
//   - first, on Linux, every process of the children's account is ended, also one that left its
//     group and session (endLeftoverChildren);
//   - children that still run and match their record are ended, themselves alone: never a
//     process that merely has a recorded id as its group's;
//   - routes are deleted, failures tolerated (their device may be gone with the bridge);
//   - the proxy configuration, which holds the client's credentials, is deleted;
//   - then the journal is removed.
// Entries are undone in the reverse of the order they were made in, like a disconnect: routes
// before children. Each entry's fields are checked first (addresses as dotted IPv4, adapter names
// with the adapter prefix, interface names, process ids and start marks as numbers), and the
// commands are built from them by the platform's command builder: nothing in the file is ever
// run as it stands. An entry that fails the check is passed over. A journal that is not the
// service's own file or is damaged is removed unused; one that belongs to an instance still
// running is left alone. Never throws.
void replaySessionJournal(const std::filesystem::path& path, NetworkSystem& system,
                          const RecoveryReport& report) noexcept;

// In a running session's teardown, once nothing of the children runs: the route and DNS undos
// that its journal still holds (their command could not be launched, or failed, the first time)
// are tried again with the same checks and commands as the replay; each one done is dropped
// from the journal. Returns how many stay for the next start. Never throws.
std::size_t retryNetworkUndos(SessionJournal& journal, NetworkSystem& system,
                              const RecoveryReport& report) noexcept;

}  // namespace halvern
