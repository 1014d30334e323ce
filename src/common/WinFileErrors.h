#pragma once

#include <windows.h>

namespace halvern {

// Windows only. The errors with which a query of a path says "nothing there": no such file or
// folder, a network path or share that does not exist (any more), a name that no entry can have,
// a file where the path needs a folder. Any other failure (access denied, for one) is a real one.
inline bool isNotThereError(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:   // 2
        case ERROR_PATH_NOT_FOUND:   // 3
        case ERROR_BAD_NETPATH:      // 53
        case ERROR_NETNAME_DELETED:  // 64
        case ERROR_INVALID_NAME:     // 123
        case ERROR_DIRECTORY:        // 267
            return true;
        default:
            return false;
    }
}

}  // namespace halvern
