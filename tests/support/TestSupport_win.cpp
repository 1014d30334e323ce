#include <windows.h>

#include <aclapi.h>    // needs <windows.h> first
#include <sddl.h>      // needs <windows.h> first
#include <tlhelp32.h>  // needs <windows.h> first

#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/ChildProcess.h"
#include "common/ProcessIdentity.h"
#include "common/UniqueLocalMemory.h"
#include "common/WinHandle.h"
#include "processes/RestrictedToken.h"
#include "support/TestSupport.h"

namespace halvern::testing {

// This process's children, or those of them whose executable is `named` (nullptr: all).
static std::vector<std::uint32_t> childrenNamed(const std::wstring* named) {
    // When a process was created, in 100 ns units; 0 when it has ended or cannot be asked.
    const auto creationTime = [](std::uint32_t pid) -> std::uint64_t {
        const std::string mark = processStartMark(pid);
        return mark.empty() ? 0 : std::stoull(mark);
    };
    // A process keeps its parent's id after the parent has ended, and Wine reuses ids soon: only
    // a process created after this one can be its child.
    std::vector<std::uint32_t> children;
    const UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.valid()) {
        return children;
    }
    const std::uint64_t selfCreated = creationTime(GetCurrentProcessId());
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    const DWORD self = GetCurrentProcessId();
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ParentProcessID != self || entry.th32ProcessID == self ||
            (named != nullptr && _wcsicmp(entry.szExeFile, named->c_str()) != 0)) {
            continue;
        }
        const std::uint64_t created = creationTime(entry.th32ProcessID);
        // One that cannot be asked counts: it may be a child of ours on its way out.
        if (created == 0 || created >= selfCreated) {
            children.push_back(entry.th32ProcessID);
        }
    }
    return children;
}

std::vector<std::uint32_t> childProcessesOfThisProcess() {
    return childrenNamed(nullptr);
}

std::uint32_t killChildNamed(const std::string& fileName) {
    const std::wstring wanted(fileName.begin(), fileName.end());  // ASCII names only
    for (const std::uint32_t pid : childrenNamed(&wanted)) {
        const UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
        if (process.valid() && TerminateProcess(process.get(), 0)) {
            return pid;
        }
    }
    return 0;
}

std::optional<TokenRights> processTokenRights(std::uint32_t pid) {
    const UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    UniqueHandle token;
    if (!process.valid() || !OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) {
        return std::nullopt;
    }
    std::uint32_t error = 0;
    const auto label = tokenInformation(token.get(), TokenIntegrityLevel, error);
    auto buffer = tokenInformation(token.get(), TokenPrivileges, error);
    if (label.empty() || buffer.empty()) {
        return std::nullopt;
    }
    TokenRights rights;
    const PSID sid = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(label.data())->Label.Sid;
    rights.integrity = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1U);
    rights.restricted = IsTokenRestricted(token.get()) != FALSE;
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

void letEveryoneChange(const std::filesystem::path& path) {
    UniqueLocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;WD)", SDDL_REVISION_1, descriptor.put(), nullptr) ||
        !SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor.get())) {
        throw std::runtime_error("cannot open " + path.string() + " to everyone");
    }
}

bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

ScopedSignalShunned::ScopedSignalShunned(int signal) : number(signal) {}
ScopedSignalShunned::~ScopedSignalShunned() = default;

bool processHasEnded(std::uint32_t pid) {
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return !process.valid() || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

ScopedJournalPlace::ScopedJournalPlace()
    : path_(L"HKLM\\SOFTWARE\\" + directory_.path().filename().wstring() + L"\\SessionJournal") {}

ScopedJournalPlace::~ScopedJournalPlace() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_.parent_path().wstring().substr(5).c_str());
}

void letOthersChangeJournal(const std::filesystem::path& path) {  // else the replay tells
    UniqueResource<HKEY, RegCloseKey, nullptr> key;
    UniqueLocalMemory everyone;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.parent_path().wstring().substr(5).c_str(), 0, WRITE_DAC,
                  key.put());
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;KA;;;BA)(A;;KA;;;BU)", 1,
                                                         everyone.put(), nullptr);
    RegSetKeySecurity(key.get(), DACL_SECURITY_INFORMATION, everyone.get());
}

std::size_t debugOutputCount(const std::string& text) {
    static std::mutex mutex;
    static std::string seen;
    static const bool listening = [] {  // for the rest of the process
        static const UniqueHandle ready(CreateEventW(nullptr, FALSE, TRUE, L"DBWIN_BUFFER_READY"));
        static const UniqueHandle data(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
        static const UniqueHandle mapping(CreateFileMappingW(
            INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER"));
        const auto* view = static_cast<const char*>(  // a process id, then the text
            MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 4096));
        std::thread([view] {
            while (WaitForSingleObject(data.get(), INFINITE) == WAIT_OBJECT_0) {
                const std::lock_guard lock(mutex);
                seen.append(view + 4, strnlen(view + 4, 4092));
                SetEvent(ready.get());
            }
        }).detach();
        return true;
    }();
    std::size_t found = 0;
    eventually(
        [&] {
            const std::lock_guard lock(mutex);
            found = listening ? occurrences(seen, text) : 0;
            return found > 0;
        },
        15000);
    return found;
}

ScopedPrivateRunDirectory::ScopedPrivateRunDirectory() = default;
ScopedPrivateRunDirectory::~ScopedPrivateRunDirectory() = default;

int runProgram(const std::vector<std::string>& arguments, const std::filesystem::path& output,
               const std::filesystem::path& errors) {
    // Quoted as the C runtime reads it back; no argument here ends in a backslash.
    std::wstring commandLine;
    for (const std::string& argument : arguments) {
        commandLine += commandLine.empty() ? L"\"" : L" \"";
        for (const wchar_t c : std::filesystem::path(argument).wstring()) {
            commandLine += c == L'"' ? std::wstring(L"\\\"") : std::wstring(1, c);
        }
        commandLine += L'"';
    }
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto create = [&](const std::filesystem::path& path) {
        return UniqueFileHandle(CreateFileW(path.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            &inheritable, CREATE_ALWAYS, 0, nullptr));
    };
    const UniqueFileHandle out = create(output);
    const UniqueFileHandle err = create(errors);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out.get();
    startup.hStdError = err.get();
    PROCESS_INFORMATION process{};
    // No console: under Wine a console child's conhost.exe keeps the output files open a while.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, DETACHED_PROCESS,
                        nullptr, nullptr, &startup, &process)) {
        throw std::runtime_error("CreateProcessW " + arguments.front() + ": error " +
                                 std::to_string(GetLastError()));
    }
    const UniqueHandle threadHandle(process.hThread);
    // Bounded: a Wine child could otherwise outlive the test that ctest's time-out ends.
    ChildProcess child(reinterpret_cast<std::intptr_t>(process.hProcess));
    const auto exitCode = child.waitForExit(60000);
    if (!exitCode) {
        throw std::runtime_error(arguments.front() + " did not end within 60 s");
    }
    return static_cast<int>(*exitCode);
}

}  // namespace halvern::testing
