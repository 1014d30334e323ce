#pragma once

#include <cstdint>
#include <string>

namespace halvern {

// What, beside its id, tells one process from a later one that was given the same id: on Linux
// its start time in clock ticks after boot (field 22 of /proc/PID/stat), on Windows its creation
// time (a FILETIME, as a decimal number). Empty when there is no such process, when it has
// exited, or when it cannot be read. The crash journal records children by id and mark, so that
// a recovery never ends a stranger that inherited a dead child's id, and the service itself, so
// that a journal whose instance still runs is left alone. An exited process counts as gone even
// while someone holds a handle to it (on Windows it then keeps its id and creation time; the
// service control manager is one such holder), and so does a zombie on Linux.
std::string processStartMark(std::uint32_t pid);

// The service's own process id.
std::uint32_t ownProcessId() noexcept;

enum class RecordedProcessOutcome { ended, alreadyGone };

// Ends the process that `pid` and `startMark` recorded when it still runs, and waits a bounded
// time for it. The process alone: what it started is the business of its job object (Windows)
// or of the sweep of the children's account (Linux, endLeftoverChildren), and
// a process group is no proof of ownership, since another account's process may take a dead
// child's id as its group's. A process that now has the id but another mark is left alone; on
// Linux the check and the signal go through one pidfd, so the id cannot change hands between
// them. Never throws.
RecordedProcessOutcome endRecordedProcess(std::uint32_t pid, const std::string& startMark) noexcept;

}  // namespace halvern
