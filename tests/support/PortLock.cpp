#include "support/PortLock.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "common/MonotonicClock.h"

namespace halvern::testing {

// Platform parts (PortLock_posix.cpp / PortLock_win.cpp).
std::filesystem::path lockDirectory();
bool createExclusively(const std::filesystem::path& path);

namespace {

constexpr auto kStaleAfter = std::chrono::seconds(60);

std::filesystem::path ownerFile() {
    return lockDirectory() / "halvern-port-10807.owner";
}

}  // namespace

void acquireOwnerFile() {
    for (;;) {
        if (createExclusively(ownerFile())) {
            return;
        }
        // Only a killed test leaves its owner file behind. Two waiters that find it at the same
        // moment could both remove it; that needs a crash first and is accepted.
        std::error_code error;
        const auto written = std::filesystem::last_write_time(ownerFile(), error);
        if (!error && std::filesystem::file_time_type::clock::now() - written > kStaleAfter) {
            std::filesystem::remove(ownerFile(), error);
            continue;
        }
        sleepMilliseconds(50);
    }
}

void releaseOwnerFile() {
    std::error_code ignored;
    std::filesystem::remove(ownerFile(), ignored);
}

}  // namespace halvern::testing
