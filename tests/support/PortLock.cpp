#include "support/PortLock.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#define closesocket close
#endif

#ifndef SOCK_CLOEXEC
#define SOCK_CLOEXEC 0
#endif

#include <chrono>
#include <filesystem>
#include <system_error>

#include "common/MonotonicClock.h"
#include "processes/SocketCalls.h"

namespace halvern::testing {
namespace {

std::filesystem::path ownerFile() {
#ifdef _WIN32
    // Under Wine the file is the Linux one, so that Linux and Windows tests exclude each other.
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    if (ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr) {
        return L"Z:\\tmp\\halvern-port-10807.owner";
    }
    return std::filesystem::temp_directory_path() / "halvern-port-10807.owner";
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
        // Only a killed test leaves its owner file behind. Two waiters that find it at the same
        // moment could both remove it; that needs a crash first and is accepted.
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

LoopbackListener::LoopbackListener(int port, int retryMs) {
    ensureWinsock();
    const auto start = MonotonicClock::now();
    for (;;) {
        const auto listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
#ifndef _WIN32
        const int yes = 1;
        ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
#endif
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
            listen(listener, 64) == 0) {
            socket_ = static_cast<std::intptr_t>(listener);
            return;
        }
        closesocket(listener);
        if (elapsedMilliseconds(start) >= retryMs) {
            return;
        }
        sleepMilliseconds(50);
    }
}

LoopbackListener::~LoopbackListener() {
    if (listening()) {
        closesocket(static_cast<decltype(socket(0, 0, 0))>(socket_));
    }
}

}  // namespace halvern::testing
