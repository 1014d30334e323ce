#include <windows.h>

#include "common/DebugOutput.h"

namespace halvern {

void writeDebugOutput(const std::string& text) noexcept {
    OutputDebugStringA(text.c_str());
}

}  // namespace halvern
