#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The text of the backup that the resolv.conf backend keeps in the runtime directory while its
// file is in place: everything needed to put the original back, so that the next start after a
// crash can do it just as the disconnect does.
namespace halvern {

// What a path holds: nothing, a regular file, or a symlink (whose target is `bytes`).
struct ResolvConfEntry {
    enum class Kind { absent, file, symlink };
    Kind kind = Kind::absent;
    std::uint32_t mode = 0;  // permission bits only
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::string bytes;
    bool operator==(const ResolvConfEntry&) const = default;
};

struct ResolvConfBackup {
    ResolvConfEntry original;
    std::vector<std::string> ours;  // every content of ours that may be in place

    bool holdsOurs(const ResolvConfEntry& current) const;
    bool operator==(const ResolvConfBackup&) const = default;
};

// A header line, then "original KIND MODE OWNER GROUP SIZE" and "ours SIZE" lines, each followed
// by exactly SIZE bytes and a line feed.
std::string encodeResolvConfBackup(const ResolvConfBackup& backup);

// Nothing when `text` is not a backup in that form.
std::optional<ResolvConfBackup> decodeResolvConfBackup(std::string_view text);

}  // namespace halvern
