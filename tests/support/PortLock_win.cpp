#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/MonotonicClock.h"
#include "processes/SocketCalls.h"
#include "support/PortLock.h"

namespace halvern::testing {
namespace {

// Under Wine the lock file is the Linux one, so that Linux and Windows tests exclude each other.
bool runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::filesystem::path lockFilePath() {
    if (runningUnderWine()) {
        return L"Z:\\tmp\\halvern-port-10807.lock";
    }
    return std::filesystem::temp_directory_path() / "halvern-port-10807.lock";
}

}  // namespace

struct SocksPortLock::State {
    HANDLE file = INVALID_HANDLE_VALUE;
};

SocksPortLock::SocksPortLock() : state_(std::make_unique<State>()) {
    state_->file = CreateFileW(lockFilePath().c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (state_->file == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open the port lock file: error " +
                                 std::to_string(GetLastError()));
    }
    // Wine reports a lock held by a Linux process as a conflict instead of waiting for it, so
    // the lock is polled.
    for (;;) {
        OVERLAPPED at{};
        if (LockFileEx(state_->file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                       &at)) {
            return;
        }
        sleepMilliseconds(50);
    }
}

SocksPortLock::~SocksPortLock() {
    OVERLAPPED at{};
    UnlockFileEx(state_->file, 0, 1, 0, &at);
    CloseHandle(state_->file);
}

struct LoopbackListener::State {
    SOCKET socket = INVALID_SOCKET;
};

LoopbackListener::LoopbackListener(int port, int retryMs) : state_(std::make_unique<State>()) {
    ensureWinsock();
    const auto start = MonotonicClock::now();
    for (;;) {
        const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(port));
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        if (listener != INVALID_SOCKET &&
            bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
            listen(listener, 64) == 0) {
            state_->socket = listener;
            return;
        }
        if (listener != INVALID_SOCKET) {
            closesocket(listener);
        }
        if (elapsedMilliseconds(start) >= retryMs) {
            return;
        }
        sleepMilliseconds(50);
    }
}

LoopbackListener::~LoopbackListener() {
    if (state_->socket != INVALID_SOCKET) {
        closesocket(state_->socket);
    }
}

bool LoopbackListener::listening() const {
    return state_->socket != INVALID_SOCKET;
}

}  // namespace halvern::testing
