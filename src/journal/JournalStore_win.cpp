#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>

#include "common/ObjectSecurity_win.h"
#include "common/UniqueLocalMemory.h"
#include "common/UniqueResource.h"
#include "journal/JournalStore.h"

namespace halvern {
namespace {

constexpr DWORD kMaxJournalBytes = 65536;
constexpr const wchar_t* kRootName = L"HKLM\\";

using RegistryKey = UniqueResource<HKEY, RegCloseKey, nullptr>;

// "HKLM\PARENT\KEY\VALUE" taken apart: a value of KEY, which is made under PARENT when missing.
// PARENT itself must exist. For the service that is its own key, which "install" creates,
// which only SYSTEM and the administrators may change, and which "uninstall" deletes along with
// everything under it.
struct RegistryPlace {
    std::wstring parent;
    std::wstring key;
    std::wstring value;
};

// The key the journal makes: SYSTEM and the administrators may change it, users only read it,
// whatever its parent passes on.
constexpr const wchar_t* kKeySecurity = L"D:P(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;KR;;;BU)";
// A key that an installer left open to users would let any of them plant the journal that
// SYSTEM replays, so it is not the service's own.
constexpr ACCESS_MASK kChangeRights = KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_CREATE_LINK |
                                      DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                      GENERIC_ALL;

bool placeOf(const std::filesystem::path& path, RegistryPlace& place) {
    const std::wstring text = path.wstring();
    const std::wstring root = kRootName;
    const std::size_t valueAt = text.rfind(L'\\');
    const std::size_t keyAt =
        valueAt == std::wstring::npos ? valueAt : text.rfind(L'\\', valueAt - 1);
    if (text.rfind(root, 0) != 0 || keyAt == std::wstring::npos || keyAt < root.size()) {
        return false;
    }
    place.parent = text.substr(root.size(), keyAt - root.size());
    place.key = text.substr(keyAt + 1, valueAt - keyAt - 1);
    place.value = text.substr(valueAt + 1);
    return !place.parent.empty() && !place.key.empty() && !place.value.empty();
}

}  // namespace

// A value in the service's own registry key, not a file: nothing in a registry path can be
// made beforehand by a user or redirected by one, and the value is replaced whole by each
// write. No environment variable takes part.
std::filesystem::path sessionJournalPath() {
    return L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\HalvernService\\Parameters\\SessionJournal";
}

std::uint32_t outOfMemoryError() {
    return ERROR_NOT_ENOUGH_MEMORY;
}

std::uint32_t writeJournalStore(const std::filesystem::path& path, const std::string& text) {
    RegistryPlace place;
    if (!placeOf(path, place) || text.size() > kMaxJournalBytes) {
        return ERROR_INVALID_PARAMETER;
    }
    RegistryKey parent;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, place.parent.c_str(), 0, KEY_CREATE_SUB_KEY,
                                   parent.put());
    if (status != ERROR_SUCCESS) {
        return static_cast<std::uint32_t>(status);
    }
    UniqueLocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kKeySecurity, SDDL_REVISION_1,
                                                              descriptor.put(), nullptr)) {
        return GetLastError();
    }
    SECURITY_ATTRIBUTES security{sizeof(security), descriptor.get(), FALSE};
    RegistryKey key;
    status = RegCreateKeyExW(parent.get(), place.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             KEY_SET_VALUE, &security, key.put(), nullptr);
    if (status != ERROR_SUCCESS) {
        return static_cast<std::uint32_t>(status);
    }
    status =
        RegSetValueExW(key.get(), place.value.c_str(), 0, REG_BINARY,
                       reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()));
    // Routes added by netsh outlive a reboot, so their record must reach the disk as well.
    if (status == ERROR_SUCCESS) {
        status = RegFlushKey(key.get());
    }
    return static_cast<std::uint32_t>(status);
}

JournalStoreState readJournalStore(const std::filesystem::path& path, std::string& text) {
    text.clear();
    RegistryPlace place;
    if (!placeOf(path, place)) {
        return JournalStoreState::foreign;
    }
    RegistryKey key;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, (place.parent + L"\\" + place.key).c_str(),
                                   0, KEY_QUERY_VALUE | READ_CONTROL, key.put());
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExW(key.get(), place.value.c_str(), nullptr, &type, nullptr, &size);
    }
    if (status == ERROR_FILE_NOT_FOUND) {
        return JournalStoreState::absent;
    }
    if (status != ERROR_SUCCESS || type != REG_BINARY || size > kMaxJournalBytes ||
        !onlyTrustedMayChange(key.get(), SE_REGISTRY_KEY, kChangeRights)) {
        return JournalStoreState::foreign;
    }
    text.resize(size);
    // A value that changed size in between reads as damaged: its end line is then missing.
    if (size != 0 &&
        RegQueryValueExW(key.get(), place.value.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS) {
        size = 0;
    }
    text.resize(size);
    return JournalStoreState::read;
}

void removeJournalStore(const std::filesystem::path& path) noexcept {
    try {
        RegistryPlace place;
        RegistryKey key;
        if (placeOf(path, place) &&
            RegOpenKeyExW(HKEY_LOCAL_MACHINE, (place.parent + L"\\" + place.key).c_str(), 0,
                          KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) {
            RegDeleteValueW(key.get(), place.value.c_str());
            RegFlushKey(key.get());
        }
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the value stays for next time
    }
}

}  // namespace halvern
