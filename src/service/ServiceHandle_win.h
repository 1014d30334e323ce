#pragma once

#include <windows.h>

#include "common/UniqueResource.h"

namespace halvern {

// The name the SCM knows the service by: registered by the installer, served by ServiceMain.
inline constexpr const wchar_t* kServiceName = L"HalvernService";

// Owns one handle from OpenSCManagerW, CreateServiceW or OpenServiceW; null means none.
using ServiceHandle = UniqueResource<SC_HANDLE, CloseServiceHandle, nullptr>;

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
