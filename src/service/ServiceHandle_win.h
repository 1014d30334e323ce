#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

namespace halvern {

// The name the SCM knows the service by: registered by the installer, served by ServiceMain.
inline constexpr const wchar_t* kServiceName = L"HalvernService";

struct ServiceHandleCloser {
    void operator()(SC_HANDLE handle) const noexcept { CloseServiceHandle(handle); }
};

// Owns one handle from OpenSCManagerW, CreateServiceW or OpenServiceW; null means none.
using ServiceHandle = std::unique_ptr<std::remove_pointer_t<SC_HANDLE>, ServiceHandleCloser>;

// The process id the SCM reports for the running service; 0 when it is not installed, not
// running or cannot be queried.
inline DWORD serviceProcessId() {
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    const ServiceHandle service(
        manager ? OpenServiceW(manager.get(), kServiceName, SERVICE_QUERY_STATUS) : nullptr);
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!service ||
        !QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
        return 0;
    }
    return status.dwProcessId;
}

}  // namespace halvern
