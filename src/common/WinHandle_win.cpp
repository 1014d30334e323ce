#include <windows.h>

#include "common/WinHandle.h"

namespace halvern {

void closeWinHandle(void* handle) noexcept {
    CloseHandle(handle);
}

void* invalidHandleValue() noexcept {
    return INVALID_HANDLE_VALUE;
}

}  // namespace halvern
