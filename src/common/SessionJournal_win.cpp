#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "common/SessionJournal.h"
#include "common/UniqueLocalMemory.h"
#include "common/WinHandle.h"

namespace halvern {
namespace {

// SYSTEM and the administrators only, not inherited from %ProgramData% (where every user may
// create folders): the directory passes the list on to what is made in it, and each journal
// file is created with the list of its own as well, whoever made the directory first.
constexpr const wchar_t* kDirectorySecurity = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr const wchar_t* kFileSecurity = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr DWORD kMaxJournalBytes = 65536;

class SecurityAttributes {
  public:
    explicit SecurityAttributes(const wchar_t* sddl) {
        attributes_.nLength = sizeof(attributes_);
        attributes_.bInheritHandle = FALSE;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
                sddl, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor_.put()),
                nullptr)) {
            attributes_.lpSecurityDescriptor = descriptor_.get();
        }
    }
    bool valid() const { return attributes_.lpSecurityDescriptor != nullptr; }
    SECURITY_ATTRIBUTES* get() { return &attributes_; }
    PACL dacl() const {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL list = nullptr;
        GetSecurityDescriptorDacl(descriptor_.get(), &present, &list, &defaulted);
        return list;
    }

  private:
    UniqueLocalMemory descriptor_;
    SECURITY_ATTRIBUTES attributes_{};
};

DWORD prepareDirectory(const std::filesystem::path& directory) {
    SecurityAttributes security(kDirectorySecurity);
    if (!security.valid()) {
        return GetLastError();
    }
    if (CreateDirectoryW(directory.c_str(), security.get())) {
        return 0;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) {
        return error;
    }
    // A directory made before the service first ran gets the list again, once per run. Should
    // that fail, the files keep lists of their own, and a file of another owner is never read.
    static bool secured = false;  // written under the controller's lock, like the journal
    if (secured) {
        return 0;
    }
    secured = true;
    SetNamedSecurityInfoW(const_cast<wchar_t*>(directory.c_str()), SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, security.dacl(), nullptr);
    return 0;
}

bool ownerIsTrusted(HANDLE file) {
    PSID owner = nullptr;
    UniqueLocalMemory descriptor;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.put())) !=
            ERROR_SUCCESS ||
        owner == nullptr) {
        return false;
    }
    if (IsWellKnownSid(owner, WinLocalSystemSid) ||
        IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) {
        return true;
    }
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return false;
    }
    const UniqueHandle token(rawToken);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    return size != 0 && GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size) &&
           EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

}  // namespace

std::filesystem::path sessionJournalPath() {
    wchar_t buffer[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(L"ProgramData", buffer, MAX_PATH);
    const std::filesystem::path base = length != 0 && length < MAX_PATH
                                           ? std::filesystem::path(std::wstring(buffer, length))
                                           : std::filesystem::path(L"C:\\ProgramData");
    return base / L"Halvern" / L"session.journal";
}

std::uint32_t writeJournalFile(const std::filesystem::path& path, const std::string& text) {
    const DWORD directoryError = prepareDirectory(path.parent_path());
    if (directoryError != 0) {
        return directoryError;
    }
    SecurityAttributes security(kFileSecurity);
    if (!security.valid()) {
        return GetLastError();
    }
    // A new file every time: an existing one would keep whatever access list it has.
    const std::wstring temporary = path.wstring() + L".tmp";
    DeleteFileW(temporary.c_str());
    DWORD error = 0;
    {
        const UniqueFileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, security.get(),
                                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid()) {
            return GetLastError();
        }
        DWORD written = 0;
        if (!WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) ||
            written != text.size() || !FlushFileBuffers(file.get())) {
            error = GetLastError();
        }
    }
    if (error == 0 && !MoveFileExW(temporary.c_str(), path.c_str(),
                                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
    }
    if (error != 0) {
        DeleteFileW(temporary.c_str());
    }
    return error;
}

JournalFileState readJournalFile(const std::filesystem::path& path, std::string& text) {
    text.clear();
    const UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL,
                                            FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                   ? JournalFileState::absent
                   : JournalFileState::foreign;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file.get(), &information) ||
        (information.dwFileAttributes &
         (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        information.nFileSizeHigh != 0 || information.nFileSizeLow > kMaxJournalBytes ||
        !ownerIsTrusted(file.get())) {
        return JournalFileState::foreign;
    }
    text.resize(information.nFileSizeLow);
    DWORD read = 0;
    if (!text.empty() &&
        !ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) {
        read = 0;
    }
    text.resize(read);
    return JournalFileState::read;
}

void removeJournalFile(const std::filesystem::path& path) noexcept {
    DeleteFileW(path.c_str());
}

}  // namespace halvern
