#include <windows.h>

#include <array>
#include <vector>

#include "processes/RestrictedToken.h"

namespace halvern {
namespace {

// Access the copy needs, which inherits it: duplicate and query to be made and to start a
// process on, assign-primary for that start, adjust-default for the integrity level.
constexpr DWORD kTokenAccess =
    TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT;

// The token's privileges but the bypass of traverse checking, or false with `error` set.
bool privilegesToDelete(HANDLE token, std::vector<LUID_AND_ATTRIBUTES>& result,
                        std::uint32_t& error) {
    LUID changeNotify{};
    if (!LookupPrivilegeValueW(nullptr, SE_CHANGE_NOTIFY_NAME, &changeNotify)) {
        error = GetLastError();
        return false;
    }
    const auto buffer = tokenInformation(token, TokenPrivileges, error);
    if (buffer.empty()) {
        return false;
    }
    const auto* held = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
        const LUID& luid = held->Privileges[i].Luid;
        if (luid.LowPart != changeNotify.LowPart || luid.HighPart != changeNotify.HighPart) {
            result.push_back(held->Privileges[i]);
        }
    }
    return true;
}

}  // namespace

std::vector<std::uint64_t> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind,
                                            std::uint32_t& error) {
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);  // fails, reporting the size it needs
    std::vector<std::uint64_t> buffer(size / sizeof(std::uint64_t) + 1);
    if (!GetTokenInformation(token, kind, buffer.data(),
                             static_cast<DWORD>(buffer.size() * sizeof(std::uint64_t)), &size)) {
        error = GetLastError();
        buffer.clear();
    }
    return buffer;
}

UniqueHandle createRestrictedToken(std::uint32_t& error) noexcept {
    const auto failed = [&error](DWORD code) {
        error = code;
        return UniqueHandle{};
    };
    try {
        UniqueHandle service;
        if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, service.put())) {
            return failed(GetLastError());
        }

        // DISABLE_MAX_PRIVILEGE is what removes the privileges; Windows then ignores the list.
        // The list names the same privileges once more, so that an implementation that does not
        // know the flag (Wine's ignores it) still leaves none of them behind.
        std::vector<LUID_AND_ATTRIBUTES> privileges;
        if (!privilegesToDelete(service.get(), privileges, error)) {
            return {};
        }
        // WRITE_RESTRICTED: a write needs a grant to one of these as well as to the token's own
        // SIDs. SYSTEM's user SID and Administrators are named by every user's profile, and
        // the low-labelled parts of it (LocalLow, Temp\Low) take a low writer's bytes; no such
        // list names these. Everyone and RESTRICTED are what the system grants restricted code
        // on what it must still use (the sockets' device among them). Reads stay as they were,
        // and handles the core inherits (its log) were checked when they were opened.
        // Built by hand: Wine's CreateWellKnownSid knows no WRITE RESTRICTED.
        SID everyone{SID_REVISION, 1, SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}};
        SID restrictedCode{SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_RESTRICTED_CODE_RID}};
        SID writeRestricted{
            SID_REVISION, 1, SECURITY_NT_AUTHORITY, {SECURITY_WRITE_RESTRICTED_CODE_RID}};
        std::array<SID_AND_ATTRIBUTES, 3> restricting{
            {{&everyone, 0}, {&restrictedCode, 0}, {&writeRestricted, 0}}};
        UniqueHandle restricted;
        if (!CreateRestrictedToken(service.get(), DISABLE_MAX_PRIVILEGE | WRITE_RESTRICTED, 0,
                                   nullptr, static_cast<DWORD>(privileges.size()),
                                   privileges.data(), static_cast<DWORD>(restricting.size()),
                                   restricting.data(), restricted.put())) {
            return failed(GetLastError());
        }

        // A process may lower its own tokens' level without any privilege.
        SID low{SID_REVISION, 1, SECURITY_MANDATORY_LABEL_AUTHORITY, {SECURITY_MANDATORY_LOW_RID}};
        TOKEN_MANDATORY_LABEL label{};
        label.Label.Sid = &low;
        label.Label.Attributes = SE_GROUP_INTEGRITY;
        if (!SetTokenInformation(restricted.get(), TokenIntegrityLevel, &label,
                                 sizeof(label) + GetLengthSid(&low))) {
            return failed(GetLastError());
        }
        return restricted;
    } catch (...) {  // an allocation
        return failed(ERROR_NOT_ENOUGH_MEMORY);
    }
}

}  // namespace halvern
