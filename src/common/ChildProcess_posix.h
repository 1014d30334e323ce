#pragma once

#include <sys/types.h>

namespace halvern {

// POSIX only. The one list of killed children that outlived their bounded wait (stuck in the
// kernel), kept for every child of the service, long-running or a short command. Each is reaped
// by a later sweep once it has ended, so that none lingers as a zombie. Only these pids are
// waited for: a SIGCHLD handler or waitpid(-1) would steal the statuses of other children.
// Nothing on the list is ever signalled, since its number may pass to an unrelated process once
// it is reaped.
void reapWhenEnded(pid_t pid) noexcept;
// Reaps whatever on the list has ended since. Owners call it as they start and end children.
void reapEndedChildren() noexcept;

}  // namespace halvern
