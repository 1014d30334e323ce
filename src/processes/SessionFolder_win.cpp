#include "processes/SessionFolder_win.h"

#include <sddl.h>

#include <array>
#include <string>

#include "common/ExecutablePath.h"
#include "common/ObjectSecurity_win.h"
#include "common/SessionNames.h"
#include "common/UniqueLocalMemory.h"
#include "processes/SessionFiles.h"

namespace halvern {
namespace {

constexpr DWORD kTempPathBufferLength = MAX_PATH + 1;
// SYSTEM and the administrators; nothing inherited, so no entry of the folder above reaches in.
constexpr const wchar_t* kFolderSecurity = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr const wchar_t* kFileSecurity = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

using TempPath2 = DWORD(WINAPI*)(DWORD, LPWSTR);

std::filesystem::path& folderForTesting() {
    static std::filesystem::path folder;
    return folder;
}

// Looked up at run time: older systems, and Wine 8, export it from neither library.
TempPath2 tempPath2() {
    for (const wchar_t* library : {L"kernel32.dll", L"kernelbase.dll"}) {
        if (const HMODULE module = GetModuleHandleW(library)) {
            if (const FARPROC found = GetProcAddress(module, "GetTempPath2W")) {
                return reinterpret_cast<TempPath2>(reinterpret_cast<void*>(found));
            }
        }
    }
    return nullptr;
}

std::filesystem::path runtimeFolder() {
    const std::filesystem::path exe = executablePath();
    return exe.empty() ? std::filesystem::path{} : exe.parent_path() / L"runtime";
}

// The converted descriptor stays with `memory` for as long as the attributes are used.
SECURITY_ATTRIBUTES attributesFor(const wchar_t* sddl, UniqueLocalMemory& memory,
                                  bool inheritable) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, inheritable ? TRUE : FALSE};
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, memory.put(),
                                                             nullptr)) {
        attributes.lpSecurityDescriptor = memory.get();
    }
    return attributes;
}

bool isPlainFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
               0 &&
           info.nNumberOfLinks == 1;
}

}  // namespace

void useSessionFolderForTesting(const std::filesystem::path& folder) {
    folderForTesting() = folder;
}

std::filesystem::path sessionFolder() {
    if (!folderForTesting().empty()) {
        return folderForTesting();
    }
    if (const TempPath2 call = tempPath2()) {
        std::array<wchar_t, kTempPathBufferLength> buffer{};
        const DWORD length = call(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length != 0 && length < buffer.size()) {
            return std::filesystem::path(std::wstring(buffer.data(), length)).lexically_normal();
        }
    }
    return runtimeFolder();
}

DWORD prepareSessionFolder(const std::filesystem::path& folder) {
    if (folder.empty()) {
        return ERROR_PATH_NOT_FOUND;
    }
    if (folder == runtimeFolder()) {
        UniqueLocalMemory descriptor;
        SECURITY_ATTRIBUTES attributes = attributesFor(kFolderSecurity, descriptor, false);
        if (!CreateDirectoryW(folder.c_str(), &attributes)) {
            const DWORD error = GetLastError();
            if (error != ERROR_ALREADY_EXISTS) {
                return error;
            }
        }
    }
    const UniqueFileHandle opened(CreateFileW(
        folder.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL, kShareAll, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!opened.valid()) {
        return GetLastError();
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(opened.get(), &info)) {
        return GetLastError();
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return ERROR_CANT_ACCESS_FILE;
    }
    return onlyTrustedMayChange(opened.get(), SE_FILE_OBJECT, kFileChangeRights)
               ? ERROR_SUCCESS
               : ERROR_INVALID_OWNER;
}

UniqueFileHandle createSessionFile(const std::filesystem::path& path, DWORD access,
                                   bool inheritable, DWORD& error) {
    error = prepareSessionFolder(path.parent_path());
    if (error != ERROR_SUCCESS) {
        return {};
    }
    // A stale file (ours from a dead instance) goes first; a file of that name that cannot go
    // (held open, a folder) is never reused.
    if (!DeleteFileW(path.c_str())) {
        error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            return {};
        }
    }
    UniqueLocalMemory descriptor;
    SECURITY_ATTRIBUTES attributes = attributesFor(kFileSecurity, descriptor, inheritable);
    UniqueFileHandle file(CreateFileW(path.c_str(), access, kShareAll, &attributes, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    error = file.valid() ? ERROR_SUCCESS : GetLastError();
    return file;
}

UniqueFileHandle openSessionFileForReading(const std::filesystem::path& path) {
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file.valid() && !isPlainFile(file.get())) {
        file.reset();
    }
    return file;
}

DWORD deleteOpenFile(const UniqueFileHandle& file) {
    const UniqueFileHandle deleter(ReOpenFile(file.get(), DELETE, kShareAll, 0));
    if (!deleter.valid()) {
        return GetLastError();
    }
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(deleter.get(), FileDispositionInfo, &disposition,
                                      sizeof(disposition))
               ? ERROR_SUCCESS
               : GetLastError();
}

void removeSessionFiles() noexcept {
    try {
        const std::filesystem::path folder = sessionFolder();
        for (const std::string_view name : {session::kCoreConfigFileName, session::kCoreLogFileName,
                                            session::kBridgeLogFileName}) {
            DeleteFileW((folder / name).c_str());
        }
        if (folder == runtimeFolder()) {
            RemoveDirectoryW(folder.c_str());
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): an allocation; what is left stays
    }
}

}  // namespace halvern
