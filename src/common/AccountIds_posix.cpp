#include "common/AccountIds.h"

#include <grp.h>
#include <pwd.h>

#include <cerrno>
#include <cstddef>
#include <vector>

namespace halvern {
namespace {

// A group with many members needs a large entry; past this one the look-up is given up.
constexpr std::size_t kLargestEntry = 1048576;

// Runs a getpwnam_r-style `call(entry, buffer, size, found)`, doubling the buffer while the
// entry does not fit. Only the entry's numbers may be read afterwards: its strings lived in the
// buffer.
template <typename Entry, typename Call>
bool lookUp(Entry& entry, Call call) {
    std::vector<char> buffer(1024);
    for (;;) {
        Entry* found = nullptr;
        const int error = call(&entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < kLargestEntry) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        return error == 0 && found != nullptr;
    }
}

}  // namespace

std::optional<UserIds> userIdsOf(const char* name) {
    passwd entry{};
    if (!lookUp(entry, [name](passwd* into, char* buffer, std::size_t size, passwd** found) {
            return ::getpwnam_r(name, into, buffer, size, found);
        })) {
        return std::nullopt;
    }
    return UserIds{entry.pw_uid, entry.pw_gid};
}

std::optional<gid_t> groupIdOf(const char* name) {
    group entry{};
    if (!lookUp(entry, [name](group* into, char* buffer, std::size_t size, group** found) {
            return ::getgrnam_r(name, into, buffer, size, found);
        })) {
        return std::nullopt;
    }
    return entry.gr_gid;
}

}  // namespace halvern
