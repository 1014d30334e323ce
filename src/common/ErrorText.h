#pragma once

#include <string>

namespace halvern {

// " (error N)": the one way a system error code appears in a message, whether it came from
// errno or from GetLastError. A DWORD widens to the same digits that it prints as.
inline std::string errorCodeSuffix(long long code) {
    return " (error " + std::to_string(code) + ")";
}

}  // namespace halvern
