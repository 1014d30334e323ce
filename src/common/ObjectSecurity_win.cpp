#include "common/ObjectSecurity_win.h"

#include <sddl.h>

#include <vector>

#include "common/UniqueLocalMemory.h"
#include "common/WinHandle.h"

namespace halvern {
namespace {

// NT SERVICE\TrustedInstaller, which owns parts of the registry and of the system's folders.
constexpr const wchar_t* kInstallerSid =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// This process's own account, when it is an administrator (SYSTEM holds the group too).
bool isOwnAdministratorAccount(PSID sid) {
    BOOL member = FALSE;
    std::vector<unsigned char> administrators(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(administrators.size());
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators.data(), &size) ||
        !CheckTokenMembership(nullptr, administrators.data(), &member) || !member) {
        return false;
    }
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) {
        return false;
    }
    DWORD needed = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &needed);
    std::vector<std::uint64_t> buffer(needed / sizeof(std::uint64_t) + 1);
    const bool read = GetTokenInformation(token.get(), TokenUser, buffer.data(),
                                          static_cast<DWORD>(buffer.size() * 8), &needed) != 0;
    return read && EqualSid(sid, reinterpret_cast<const TOKEN_USER*>(buffer.data())->User.Sid);
}

bool isTrustedWriter(PSID sid) {
    if (IsWellKnownSid(sid, WinLocalSystemSid) ||
        IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
        return true;
    }
    UniqueLocalMemory installer;
    if (ConvertStringSidToSidW(kInstallerSid, reinterpret_cast<PSID*>(installer.put())) &&
        EqualSid(sid, installer.get())) {
        return true;
    }
    return isOwnAdministratorAccount(sid);
}

bool onlyTrustedIn(PSID owner, PACL list, ACCESS_MASK rights) {
    if (owner == nullptr || list == nullptr || !isTrustedWriter(owner)) {
        return false;  // a null list lets everyone do everything
    }
    for (DWORD i = 0; i < list->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(list, i, &entry)) {
            return false;
        }
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 ||
            header->AceType == ACCESS_DENIED_ACE_TYPE) {
            continue;
        }
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            ((allowed->Mask & rights) != 0 && !isTrustedWriter(&allowed->SidStart))) {
            return false;
        }
    }
    return true;
}

constexpr SECURITY_INFORMATION kWhatIsRead = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;

}  // namespace

bool onlyTrustedMayChange(HANDLE object, SE_OBJECT_TYPE type, ACCESS_MASK rights) {
    PSID owner = nullptr;
    PACL list = nullptr;
    UniqueLocalMemory descriptor;
    return GetSecurityInfo(object, type, kWhatIsRead, &owner, nullptr, &list, nullptr,
                           reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put())) ==
               ERROR_SUCCESS &&
           onlyTrustedIn(owner, list, rights);
}

bool onlyTrustedMayChange(const std::filesystem::path& file, ACCESS_MASK rights) {
    PSID owner = nullptr;
    PACL list = nullptr;
    UniqueLocalMemory descriptor;
    return GetNamedSecurityInfoW(
               file.c_str(), SE_FILE_OBJECT, kWhatIsRead, &owner, nullptr, &list, nullptr,
               reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put())) == ERROR_SUCCESS &&
           onlyTrustedIn(owner, list, rights);
}

std::filesystem::path firstPlaceOthersMayChange(const std::filesystem::path& file) {
    const std::filesystem::path absolute = file.lexically_normal();
    std::filesystem::path at = absolute;
    for (int depth = 0;; ++depth) {
        if (!onlyTrustedMayChange(at, depth < 2 ? kFileChangeRights : kFolderSwapRights)) {
            return at;
        }
        if (!at.has_relative_path()) {
            return {};
        }
        at = at.parent_path();
    }
}

}  // namespace halvern
