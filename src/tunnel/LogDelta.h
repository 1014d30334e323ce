#pragma once

#include <cstdint>
#include <string>

namespace halvern {

// One piece of a child's log: the bytes read, the offset to ask for next, and the file's size.
struct LogDelta {
    std::string content;
    std::int64_t nextOffset = 0;
    std::int64_t fileSize = 0;
};

}  // namespace halvern
