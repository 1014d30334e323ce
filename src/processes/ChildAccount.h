#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/ChildProcess.h"

// POSIX only: the unprivileged account that the service's children run under. Whatever a client
// sends reaches the children (the proxy configuration names files the core writes, and the
// bridge parses every packet of the machine), so they never keep the service's root rights.
namespace halvern {

struct ChildAccount {
    std::string name;  // for messages
    uid_t uid = 0;
    gid_t gid = 0;
    bool keepNetworkAdmin = false;  // CAP_NET_ADMIN alone, kept across exec (the bridge's TUN)
};

// The system user "halvern-core" and its primary group. The account must be ours alone: stop
// ends every process it runs (endEveryProcessOf), so a shared one such as "nobody" would cost
// other daemons their processes, and one in the range of people's accounts would cost a person
// theirs. Throws std::runtime_error naming the account when it is missing or is not a system
// account (uid and gid from 1 to kLastSystemId). Nothing when the service does not run as root:
// it then has no rights to give away, and its children simply run as it does. Looked up before
// the fork, because the name service is not async-signal-safe. It keeps no capability.
inline constexpr const char* kChildUser = "halvern-core";
inline constexpr uid_t kLastSystemId = 999;  // Debian's SYS_UID_MAX and SYS_GID_MAX
std::optional<ChildAccount> childAccount();

// Ends every process that runs as `account` (real, effective or saved uid), wherever it went: a
// process that left its group or session, or whose leader thread exited while others run on, is
// found all the same, and no other account's process is ever signalled. Each round sends SIGKILL
// to all of them at once from a short-lived thread that takes on the account's uid alone
// (kill(-1), which a fork bomb cannot outrun), then walks /proc and signals each one still alive
// through a pidfd, until a round finds none alive or `waitMs` has passed. The first signal goes
// out before anything is counted, and no process is forked, so a full task budget does not stop
// it. Returns how many the first walk found still alive (ending, or started since). Never throws.
//
// Why not a cgroup with cgroup.kill: under the unit, ProtectControlGroups= keeps the cgroup tree
// read-only, and a group of our own would need Delegate=, which hands the service the tree below
// it; without systemd the tree may not be writable at all (containers). The walk's signals need
// CAP_KILL, and the uid read after the pidfd is held keeps every other account's processes out
// of reach.
std::size_t endEveryProcessOf(const ChildAccount& account, int waitMs = kKillWaitMs) noexcept;

// The limit on the processes and threads of the children's account (RLIMIT_NPROC, which counts
// every task of the child's real uid): well below the unit's TasksMax of 512, so that a child
// that forks without end still leaves the service room for its own threads and commands.
inline constexpr rlim_t kChildProcessLimit = 256;

// In the forked child, as root, before becomeChildAccount: kChildProcessLimit, then an IPC
// namespace and a mount namespace of the child's own, with a private tmpfs on /tmp and on
// /dev/shm. What the child leaves there (SysV IPC, POSIX shared memory, files) goes with its
// last process, and the service's own /tmp never sees it. Returns 0, or the errno of the step
// that failed with `step` naming it. Async-signal-safe.
int enterChildConfinement(const char*& step) noexcept;

// The soft and hard limit each child gets on the size of any file it writes (RLIMIT_FSIZE), its
// log included: a write or ftruncate past it fails with EFBIG (after SIGXFSZ). It keeps a child
// from filling /run, which the crash journal and other services share.
inline constexpr std::uint64_t kChildFileSizeLimit = std::uint64_t{64} << 20U;

// In the forked child, before exec: takes on `account` for good. The supplementary groups become
// its group alone, then the gid and the uid change (all three ids each), every capability goes
// but CAP_NET_ADMIN where it is kept (as an ambient capability, so that it survives exec), and
// no_new_privs is set, so that no set-user-id program or file capability can give any back.
// The bounding set stays as the service's: lowering it would need CAP_SETPCAP, and with nothing
// permitted and no_new_privs set it can give nothing back.
// Returns 0, or the errno of the step that failed with `step` naming it. Async-signal-safe.
int becomeChildAccount(const ChildAccount& account, const char*& step) noexcept;

}  // namespace halvern
