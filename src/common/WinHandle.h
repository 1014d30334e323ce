#pragma once

#include "common/UniqueResource.h"

namespace halvern {

// Owners of Win32 kernel handles. A HANDLE is a `void*`; the owners keep it as one and close it
// through closeWinHandle so that headers holding them need not pull <windows.h> into every file
// that includes them.
void closeWinHandle(void* handle) noexcept;

// Process, thread, token and job handles: null means none.
using UniqueHandle = UniqueResource<void*, closeWinHandle, nullptr>;
// File handles: INVALID_HANDLE_VALUE means none.
using UniqueFileHandle = UniqueResource<void*, closeWinHandle, -1>;

}  // namespace halvern
