#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "common/UniqueFd.h"
#include "processes/SocketCalls.h"

namespace halvern {

void ensureWinsock() {}

bool isIpv4Literal(const std::string& host) {
    in_addr address{};
    return ::inet_pton(AF_INET, host.c_str(), &address) == 1;
}

std::string resolveFirstIpv4(const std::string& host) {
    addrinfo hints{};
    hints.ai_flags = 0;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = 0;
    addrinfo* results = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0 || results == nullptr) {
        return {};
    }
    char text[22] = {};
    sockaddr_in first{};
    std::memcpy(&first, results->ai_addr, sizeof(first));
    ::freeaddrinfo(results);
    if (::inet_ntop(AF_INET, &first.sin_addr, text, sizeof(text)) == nullptr) {
        return {};
    }
    return text;
}

bool tryConnectLoopback(int port) {
    const UniqueFd socket{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP)};
    if (!socket.valid()) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    // Linux takes the time-outs as a timeval; SO_SNDTIMEO also bounds the connect itself.
    const timeval timeout{0, 500000};
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    int result = 0;
    do {
        result =
            ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

}  // namespace halvern
