#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

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

// The system user "halvern-core" and its primary group; where it does not exist, "nobody" and
// "nogroup" (or nobody's own group), with a status line once per process; where neither exists,
// the kernel's overflow ids 65534. Nothing when the service does not run as root: it then has
// no rights to give away, and its children simply run as it does. Looked up before the fork,
// because the name service is not async-signal-safe.
std::optional<ChildAccount> childAccount(bool keepNetworkAdmin);

// In the forked child, before exec: takes on `account` for good. The supplementary groups become
// its group alone, then the gid and the uid change (all three ids each), every capability goes
// but CAP_NET_ADMIN where it is kept (as an ambient capability, so that it survives exec), and
// no_new_privs is set, so that no set-user-id program or file capability can give any back.
// The bounding set stays as the service's: lowering it would need CAP_SETPCAP, and with nothing
// permitted and no_new_privs set it can give nothing back.
// Returns 0, or the errno of the step that failed with `step` naming it. Async-signal-safe.
int becomeChildAccount(const ChildAccount& account, const char*& step) noexcept;

}  // namespace halvern
