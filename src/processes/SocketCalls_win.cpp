#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <stdexcept>

#include "processes/SocketCalls.h"

namespace halvern {

void ensureWinsock() {
    // Started once and never shut down: it stays up until the process ends.
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        throw std::runtime_error("WSAStartup failed");
    }
}

bool tryConnectLoopback(int port) {
    ensureWinsock();
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (probe == INVALID_SOCKET) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    const DWORD timeoutMs = 500;
    setsockopt(probe, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), 4);
    setsockopt(probe, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeoutMs), 4);
    const bool connected =
        connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    closesocket(probe);
    return connected;
}

}  // namespace halvern
