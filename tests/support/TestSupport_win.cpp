#include <windows.h>

#include <tlhelp32.h>  // needs <windows.h> first

#include <array>
#include <cstdint>
#include <string>

#include "common/WinHandle.h"
#include "processes/RestrictedToken.h"
#include "support/TestSupport.h"

namespace halvern::testing {
namespace {

// When the process was created, in 100 ns units; 0 when that cannot be read.
std::uint64_t creationTime(HANDLE process) {
    std::array<FILETIME, 4> times{};  // created, exited, kernel, user
    if (!GetProcessTimes(process, &times[0], &times[1], &times[2], &times[3])) {
        return 0;
    }
    return (std::uint64_t{times[0].dwHighDateTime} << 32) | times[0].dwLowDateTime;
}

}  // namespace

std::optional<std::string> environmentValue(const std::string& name) {
    wchar_t buffer[32768] = {};
    const DWORD length =
        GetEnvironmentVariableW(std::filesystem::path(name).c_str(), buffer, 32768);
    if (length == 0 || length >= 32768) {
        return std::nullopt;
    }
    return std::filesystem::path(std::wstring(buffer, length)).string();
}

void setEnvironmentValue(const std::string& name, const std::optional<std::string>& value) {
    SetEnvironmentVariableW(std::filesystem::path(name).c_str(),
                            value ? std::filesystem::path(*value).c_str() : nullptr);
}

std::vector<std::uint32_t> childProcessesOfThisProcess() {
    // A process keeps its parent's id after the parent has ended, and Wine reuses ids soon: only
    // a process created after this one can be its child.
    std::vector<std::uint32_t> children;
    const UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) {
        return children;
    }
    const std::uint64_t selfCreated = creationTime(GetCurrentProcess());
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID != self || entry.th32ProcessID == self) {
            continue;
        }
        const UniqueHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        const std::uint64_t created = process.valid() ? creationTime(process.get()) : 0;
        // One that cannot be asked counts: it may be a child of ours on its way out.
        if (created == 0 || created >= selfCreated) {
            children.push_back(entry.th32ProcessID);
        }
    }
    return children;
}

std::optional<TokenRights> processTokenRights(std::uint32_t pid) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    HANDLE token = nullptr;
    if (!process.valid() || !OpenProcessToken(process.get(), TOKEN_QUERY, &token)) {
        return std::nullopt;
    }
    const UniqueHandle owner(token);
    std::uint32_t error = 0;
    const auto label = tokenInformation(token, TokenIntegrityLevel, error);
    auto buffer = tokenInformation(token, TokenPrivileges, error);
    if (label.empty() || buffer.empty()) {
        return std::nullopt;
    }
    TokenRights rights;
    const PSID sid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid;
    rights.integrity = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1U);
    auto* held = reinterpret_cast<TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < held->PrivilegeCount; ++i) {
        char name[64] = {};
        DWORD length = sizeof(name);
        LookupPrivilegeNameA(nullptr, &held->Privileges[i].Luid, name, &length);
        const bool enabled = (held->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
        rights.privileges.push_back((enabled ? "+" : "") + std::string(name));
    }
    return rights;
}

bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool processHasEnded(std::uint32_t pid) {
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return !process.valid() || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

ScopedPrivateRunDirectory::ScopedPrivateRunDirectory() = default;
ScopedPrivateRunDirectory::~ScopedPrivateRunDirectory() = default;

}  // namespace halvern::testing
