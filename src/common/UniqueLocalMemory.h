#pragma once

#include <windows.h>

#include "common/UniqueResource.h"

namespace halvern {

// Sole owner of memory that a Win32 function allocated for its caller with LocalAlloc (a
// converted security descriptor, for one), released exactly once with LocalFree.
using UniqueLocalMemory = UniqueResource<HLOCAL, LocalFree, nullptr>;

}  // namespace halvern
