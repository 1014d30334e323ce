#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ControlClient.h"
#include "common/UniqueFd.h"
#include "control/ControlServer.h"
#include "control/ControlSocket_posix.h"

namespace halvern {
namespace {

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

}  // namespace

ControlExchange exchangeRequest(std::string_view request) {
    const std::string path = controlEndpointAddress().string();
    sockaddr_un address{};
    if (!controlSocketAddress(address)) {
        return {.failure = "the socket path " + path + " is too long"};
    }

    const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.valid()) {
        return {.failure = std::string("cannot create a socket: ") + std::strerror(errno)};
    }
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
        0) {
        const int error = errno;
        if (error == ENOENT || error == ECONNREFUSED) {
            return {.failure = "not running (nothing listens on " + path + ")"};
        }
        if (error == EACCES || error == EPERM) {
            return {.failure = "access denied to " + path +
                               " (root or a member of group halvern may connect)"};
        }
        return {.failure = "cannot connect to " + path + ": " + std::strerror(error)};
    }

    std::string line(request);
    line += '\n';
    // A failed send is not final: the service may have answered already (it stops reading at
    // its size limit), so whatever it wrote back is still read.
    sendAll(socket.get(), line);
    // Nothing follows the request: the service, which reads on until the end of stream once it
    // has answered, can then close at once instead of waiting for this client to go.
    ::shutdown(socket.get(), SHUT_WR);

    ControlExchange exchange;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::recv(socket.get(), buffer, sizeof(buffer), 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        exchange.response.append(buffer, static_cast<std::size_t>(count));
    }
    if (exchange.response.empty()) {
        // The service closes connections of peers it does not trust without a word.
        return {.failure =
                    "access denied: the service closed the connection without answering (root or a "
                    "member of group halvern may talk to it)"};
    }
    exchange.reached = true;
    return exchange;
}

bool standardOutputIsTerminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}

}  // namespace halvern
