#include "processes/ProcessLauncher.h"

namespace halvern::ProcessLauncher {

std::string exitMessage(const std::string& prefix, std::int64_t number, const std::string& tail) {
    std::string message = prefix + std::to_string(number);
    if (!tail.empty()) {
        message += " | output: ";
        message += tail;
    }
    return message;
}

}  // namespace halvern::ProcessLauncher
