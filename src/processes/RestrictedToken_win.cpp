#include <windows.h>

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
        HANDLE own = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, &own)) {
            return failed(GetLastError());
        }
        const UniqueHandle service(own);

        // DISABLE_MAX_PRIVILEGE is what removes the privileges; Windows then ignores the list.
        // The list names the same privileges once more, so that an implementation that does not
        // know the flag (Wine's ignores it) still leaves none of them behind.
        std::vector<LUID_AND_ATTRIBUTES> privileges;
        if (!privilegesToDelete(service.get(), privileges, error)) {
            return {};
        }
        HANDLE copy = nullptr;
        if (!CreateRestrictedToken(service.get(), DISABLE_MAX_PRIVILEGE, 0, nullptr,
                                   static_cast<DWORD>(privileges.size()), privileges.data(), 0,
                                   nullptr, &copy)) {
            return failed(GetLastError());
        }
        UniqueHandle restricted(copy);

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
