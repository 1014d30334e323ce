#include "unit/LoopbackTraffic.h"

#include <algorithm>
#include <vector>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SocketHandle = SOCKET;
using IoLength = int;
constexpr SocketHandle kNoSocket = INVALID_SOCKET;
inline void closeSocket(SocketHandle s) {
    closesocket(s);
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
using SocketHandle = int;
using IoLength = std::size_t;
constexpr SocketHandle kNoSocket = -1;
inline void closeSocket(SocketHandle s) {
    ::close(s);
}
#endif

namespace halvern {
namespace {

class Socket {
  public:
    Socket() : handle_(::socket(AF_INET, SOCK_DGRAM, 0)) {}
    ~Socket() {
        if (handle_ != kNoSocket) {
            closeSocket(handle_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    SocketHandle get() const { return handle_; }

  private:
    SocketHandle handle_;
};

}  // namespace

std::size_t sendLoopbackDatagrams(std::size_t totalBytes) {
#ifdef _WIN32
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return 0;
    }
#endif
    const Socket receiver;
    const Socket sender;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    socklen_t length = sizeof(address);
    if (receiver.get() == kNoSocket || sender.get() == kNoSocket ||
        ::bind(receiver.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::getsockname(receiver.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    // One datagram at a time, each received before the next is sent: nothing is dropped for
    // want of buffer space.
    constexpr std::size_t kDatagram = 8192;
    std::vector<char> payload(kDatagram, 'x');
    std::vector<char> incoming(kDatagram);
    std::size_t arrived = 0;
    while (arrived < totalBytes) {
        const std::size_t piece = std::min(kDatagram, totalBytes - arrived);
        if (::sendto(sender.get(), payload.data(), static_cast<IoLength>(piece), 0,
                     reinterpret_cast<const sockaddr*>(&address), sizeof(address)) < 0) {
            break;
        }
        const auto got =
            ::recv(receiver.get(), incoming.data(), static_cast<IoLength>(incoming.size()), 0);
        if (got <= 0) {
            break;
        }
        arrived += static_cast<std::size_t>(got);
    }
    return arrived;
}

}  // namespace halvern
