#pragma once

#include <windows.h>

#include <utility>

namespace halvern {

// Which value means "no handle" differs between Win32 functions: CreateFileW and
// CreateNamedPipeW return INVALID_HANDLE_VALUE, most others return null (and
// INVALID_HANDLE_VALUE is then the current-process pseudo-handle, which must never be closed).
// The owner's type says which one it holds, so the two cannot be confused.
struct NullHandleTraits {
    static HANDLE none() noexcept { return nullptr; }
};
struct FileHandleTraits {
    static HANDLE none() noexcept { return INVALID_HANDLE_VALUE; }
};

// Sole owner of a kernel handle, closed exactly once with CloseHandle.
template <typename Traits>
class BasicUniqueHandle {
  public:
    BasicUniqueHandle() noexcept = default;
    explicit BasicUniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    ~BasicUniqueHandle() { reset(); }

    BasicUniqueHandle(BasicUniqueHandle&& other) noexcept : handle_(other.release()) {}
    BasicUniqueHandle& operator=(BasicUniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    BasicUniqueHandle(const BasicUniqueHandle&) = delete;
    BasicUniqueHandle& operator=(const BasicUniqueHandle&) = delete;

    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != Traits::none(); }

    HANDLE release() noexcept { return std::exchange(handle_, Traits::none()); }

    void reset(HANDLE handle = Traits::none()) noexcept {
        const HANDLE old = std::exchange(handle_, handle);
        if (old != Traits::none()) {
            CloseHandle(old);
        }
    }

  private:
    HANDLE handle_ = Traits::none();
};

// Handles whose "none" is null: processes, threads, events.
using UniqueHandle = BasicUniqueHandle<NullHandleTraits>;
// Handles whose "none" is INVALID_HANDLE_VALUE: files and pipes.
using UniqueFileHandle = BasicUniqueHandle<FileHandleTraits>;

}  // namespace halvern
