#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <filesystem>

// Whether anyone but the system's own accounts could change an object that SYSTEM trusts: the
// journal's registry key, the session folder, the executable and the programs it starts. One
// rule for them all: the owner (who may always rewrite the list) and every entry that allows one
// of the rights asked about must be SYSTEM, the administrators, TrustedInstaller, or the account
// this process runs as when that account is itself an administrator (the installing
// administrator, or SYSTEM for the service). Entries that only pass rights on to new children
// do not count, and neither do denials: they only take away.
namespace halvern {

// The rights that change a file or what a folder holds: its data, its entries (a folder's "add
// file" and "add subfolder" are the file's write and append), its removal, its list and owner.
inline constexpr ACCESS_MASK kFileChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE |
                                                 FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER |
                                                 GENERIC_WRITE | GENERIC_ALL;
// The rights on a folder further up that let someone swap the folder below (a rename there
// needs delete on it or delete-child here). Adding entries is not among them: every user may
// create folders in C:\, and that replaces nothing.
inline constexpr ACCESS_MASK kFolderSwapRights =
    DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

bool onlyTrustedMayChange(HANDLE object, SE_OBJECT_TYPE type, ACCESS_MASK rights);
bool onlyTrustedMayChange(const std::filesystem::path& file, ACCESS_MASK rights);

// The first of `file`, its folder (for kFileChangeRights) and the folders above (for
// kFolderSwapRights) that someone else could change, so that SYSTEM would run or read what they
// put there; empty when there is none. A descriptor that cannot be read counts as such a place.
std::filesystem::path firstPlaceOthersMayChange(const std::filesystem::path& file);

}  // namespace halvern
