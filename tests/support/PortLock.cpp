#include "support/PortLock.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <system_error>

#include "common/MonotonicClock.h"
#include "processes/SocketCalls.h"
#include "support/TestSupport.h"

namespace halvern::testing {
namespace {

std::filesystem::path ownerFile() {
#ifdef _WIN32
    return runningUnderWine() ? L"Z:\\tmp\\halvern-port-10807.owner"
                              : std::filesystem::temp_directory_path() / "halvern-port-10807.owner";
#else
    return "/tmp/halvern-port-10807.owner";
#endif
}

bool createExclusively(const std::filesystem::path& path) {
#ifdef _WIN32
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE && CloseHandle(file);
#else
    const int file =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    return file >= 0 && ::close(file) == 0;
#endif
}

}  // namespace

SocksPortLock::SocksPortLock() {
    while (!createExclusively(ownerFile())) {
        // Two waiters could both remove a stale file; that needs a crash first and is accepted.
        std::error_code error;
        const auto written = std::filesystem::last_write_time(ownerFile(), error);
        if (!error &&
            std::filesystem::file_time_type::clock::now() - written > std::chrono::seconds(60)) {
            std::filesystem::remove(ownerFile(), error);
        } else {
            sleepMilliseconds(50);
        }
    }
}

SocksPortLock::~SocksPortLock() {
    std::error_code ignored;
    std::filesystem::remove(ownerFile(), ignored);
}

bool waitUntilPortIsFree(int port, int waitMs) {
    return eventually([port] { return !tryConnectLoopback(port); }, waitMs);
}

}  // namespace halvern::testing
