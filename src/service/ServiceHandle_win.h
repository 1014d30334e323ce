#pragma once

#include <windows.h>

namespace halvern {

// The name the SCM knows the service by: registered by the installer, served by ServiceMain.
inline constexpr const wchar_t* kServiceName = L"HalvernService";

// Owns one handle from OpenSCManagerW, CreateServiceW or OpenServiceW; null means none.
class ServiceHandle {
  public:
    ServiceHandle() = default;
    explicit ServiceHandle(SC_HANDLE handle) noexcept : handle_(handle) {}
    ~ServiceHandle() { reset(); }
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ServiceHandle(ServiceHandle&& other) noexcept : handle_(other.handle_) {
        other.handle_ = nullptr;
    }
    ServiceHandle& operator=(ServiceHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = other.handle_;
            other.handle_ = nullptr;
        }
        return *this;
    }

    SC_HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

    void reset() noexcept {
        if (handle_ != nullptr) {
            CloseServiceHandle(handle_);
            handle_ = nullptr;
        }
    }

  private:
    SC_HANDLE handle_ = nullptr;
};

}  // namespace halvern
