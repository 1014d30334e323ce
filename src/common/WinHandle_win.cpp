#include <windows.h>

#include "common/WinHandle.h"

namespace halvern {

void closeWinHandle(void* handle) noexcept {
    CloseHandle(handle);
}

}  // namespace halvern
