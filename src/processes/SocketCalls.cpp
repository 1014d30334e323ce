// The address calls that read the same on both platforms; the socket calls that differ are in
// SocketCalls_posix.cpp and SocketCalls_win.cpp.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>

#include "processes/SocketCalls.h"

namespace halvern {

std::string resolveFirstIpv4(const std::string& host) {
    ensureWinsock();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0 || results == nullptr) {
        return {};
    }
    sockaddr_in first{};
    std::memcpy(&first, results->ai_addr, sizeof(first));
    freeaddrinfo(results);
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &first.sin_addr, text, sizeof(text)) != nullptr ? std::string(text)
                                                                              : std::string{};
}

}  // namespace halvern
