#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/ChildProcess.h"
#include "processes/ChildAccount.h"

// POSIX only: the one way the service starts a program: its long-running children (the proxy
// core and the bridge), the short commands (ip, resolvectl, resolvconf) and systemctl.
namespace halvern {

// The service's own standard output and error, as `outputFd`: what systemctl says reaches
// whoever ran the verb.
inline constexpr int kServiceStreams = -2;

struct ChildSpawnPlan {
    std::vector<std::string> argv;  // what the child sees; argv[0] is its name
    std::string program;            // a path, or a bare name looked up through PATH
    std::string directory;          // where the child runs; empty: the service's own directory
    int outputFd = -1;              // its stdout and stderr; -1: /dev/null
    std::optional<ChildAccount> account;  // who it runs as; nothing: as the service does
    int inputFd = -1;                     // its stdin; -1: /dev/null
    bool limitFileSize = true;            // kChildFileSizeLimit, for what the clients steer
};

// Why a start failed: the errno of the step, and that step's name when it was the change of
// account rather than the search for the program or its execution.
struct ChildSpawnError {
    int error = 0;
    std::string step;
};

// Starts the child with fork and exec, never through a shell. The child
//   - leads a session and a process group of its own, so that ending it ends whatever it
//     started, with no controlling terminal (opening /dev/tty fails with ENXIO);
//   - takes on `plan.account`, when there is one, before anything of the program runs, inside
//     the confinement of enterChildConfinement(); kChildFileSizeLimit is the limit on any file
//     it writes, unless `plan.limitFileSize` is off;
//   - dies by SIGKILL when the thread that started it ends (PR_SET_PDEATHSIG). The kernel ties
//     this to the forking thread, not the process: the service launches from its pipe thread,
//     which lives until the stop sequence has ended every child, and a service that dies takes
//     the thread, and so the children, with it;
//   - inherits nothing of the service but its environment: no descriptor beyond its standard
//     streams, default signal handling, nothing blocked;
//   - runs the program only once `beforeRun(pid)` has returned, so that the crash journal holds
//     the child before it does anything. Should the service die in between, the child never
//     runs the program.
// Returns the child, or an empty owner with `failure` set (error ENOENT when the program is not
// found). A `beforeRun` that throws ends the child first.
ChildProcess spawnChild(const ChildSpawnPlan& plan, const std::function<void(pid_t)>& beforeRun,
                        ChildSpawnError& failure);

}  // namespace halvern
