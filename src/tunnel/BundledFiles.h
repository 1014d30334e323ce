#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace halvern {

// The driver library that ships with the service beside the programs (whose file names come
// from executableFileName). It is Windows-only; elsewhere its name is empty and nothing is
// looked for or copied.
const char* driverLibraryFileName();

// Where such a file is installed: the "data" folder beside the executable, then the executable's
// own folder, else the bare name (left to the system's own search). An entry of any type counts
// as found, a directory included. A status query that fails for a reason other than "not there"
// (access denied, a symlink loop, an I/O error) fails the connect with a message naming the path:
// quietly passing over a copy we could not inspect could start another program of the same name
// from further down the search. A found file that users could replace, or plant (see
// placeOthersMayChange), fails the connect too: the service would start their program.
std::string locateBundledFile(const std::string& name);

// The same search from an explicit folder; exposed for tests.
std::string locateBundledFileIn(const std::filesystem::path& exeDir, const std::string& name);

// Platform part. What the file system's status query, following links, says about a path.
struct EntryQuery {
    enum class Outcome { present, absent, failed };
    Outcome outcome = Outcome::absent;
    std::uint32_t errorCode = 0;  // the system's code when the query failed
};
EntryQuery queryEntry(const std::filesystem::path& path);

// Platform part. Where someone other than the system's own accounts could change `path`: the
// file, its folder or a folder above (Windows, from their security descriptors: see
// ObjectSecurity_win.h); empty when nobody can. POSIX looks at nothing here and returns empty:
// there the install verb checks the executable's folders and the programs run unprivileged.
std::filesystem::path placeOthersMayChange(const std::filesystem::path& path);

// Platform part. The path in the narrow form that process creation takes; `exact` is false when
// some character has no equivalent there and `text` only approximates it (fit for messages).
struct NarrowPath {
    std::string text;
    bool exact = true;
};
NarrowPath narrowPath(const std::filesystem::path& path);

}  // namespace halvern
