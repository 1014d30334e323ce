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

}  // namespace halvern
