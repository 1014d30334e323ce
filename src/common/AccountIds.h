#pragma once

#include <sys/types.h>

#include <optional>

// POSIX only: the ids behind the name of a user or a group, as the name service has them
// (/etc/passwd, /etc/group or NSS). Nothing when the name is unknown or the look-up fails. Not
// async-signal-safe: a forked child gets its ids looked up before the fork.
namespace halvern {

struct UserIds {
    uid_t uid = 0;
    gid_t gid = 0;  // the user's primary group
};

std::optional<UserIds> userIdsOf(const char* name);
std::optional<gid_t> groupIdOf(const char* name);

}  // namespace halvern
