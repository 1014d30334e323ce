#include <windows.h>

#include <tlhelp32.h>  // needs <windows.h> first

#include <string>

#include "support/TestSupport.h"

namespace halvern::testing {
namespace {

std::wstring wide(const std::string& text) {
    return std::filesystem::path(text).wstring();
}

}  // namespace

std::optional<std::string> environmentValue(const std::string& name) {
    wchar_t buffer[32768] = {};
    const DWORD length = GetEnvironmentVariableW(wide(name).c_str(), buffer, 32768);
    if (length == 0 || length >= 32768) {
        return std::nullopt;
    }
    return std::filesystem::path(std::wstring(buffer, length)).string();
}

void setEnvironmentValue(const std::string& name, const std::optional<std::string>& value) {
    SetEnvironmentVariableW(wide(name).c_str(), value ? wide(*value).c_str() : nullptr);
}

std::vector<std::uint32_t> childProcessesOfThisProcess() {
    std::vector<std::uint32_t> children;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return children;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ParentProcessID == self && entry.th32ProcessID != self) {
            children.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return children;
}

void killProcess(std::uint32_t pid) {
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (process != nullptr) {
        TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

bool processIsGone(std::uint32_t pid) {
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) {
        return true;
    }
    const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    CloseHandle(process);
    return ended;
}

bool processHasEnded(std::uint32_t pid) {
    return processIsGone(pid);
}

ScopedPrivateRunDirectory::ScopedPrivateRunDirectory() = default;
ScopedPrivateRunDirectory::~ScopedPrivateRunDirectory() = default;

}  // namespace halvern::testing
