#pragma once

namespace halvern {

// Owners of Win32 kernel handles. A HANDLE is a `void*`; the owners keep it as one so that
// headers holding them need not pull <windows.h> into every file that includes them.
void closeWinHandle(void* handle) noexcept;
void* invalidHandleValue() noexcept;  // INVALID_HANDLE_VALUE

struct NullIsNone {
    static void* none() noexcept { return nullptr; }
};
struct InvalidHandleValueIsNone {
    static void* none() noexcept { return invalidHandleValue(); }
};

// Closes its handle exactly once. Which value means "none" is part of the type: process and
// thread handles use null, file handles INVALID_HANDLE_VALUE, so the two cannot be confused.
template <typename NonePolicy>
class WinHandle {
  public:
    WinHandle() noexcept = default;
    explicit WinHandle(void* handle) noexcept : handle_(handle) {}
    ~WinHandle() { reset(); }
    WinHandle(const WinHandle&) = delete;
    WinHandle& operator=(const WinHandle&) = delete;
    WinHandle(WinHandle&& other) noexcept : handle_(other.release()) {}
    WinHandle& operator=(WinHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    void* get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != NonePolicy::none(); }

    void* release() noexcept {
        void* handle = handle_;
        handle_ = NonePolicy::none();
        return handle;
    }

    void reset(void* handle = NonePolicy::none()) noexcept {
        if (valid()) {
            closeWinHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    void* handle_ = NonePolicy::none();
};

using UniqueHandle = WinHandle<NullIsNone>;
using UniqueFileHandle = WinHandle<InvalidHandleValueIsNone>;

}  // namespace halvern
