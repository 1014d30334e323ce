#include <sys/socket.h>

#include "common/UniqueFd.h"
#include "control/ControlSocket_posix.h"
#include "integration/ControlTestSupport.h"

namespace halvern::test {

struct TestClient::State {
    UniqueFd socket;
};

TestClient::TestClient() : state_(std::make_unique<State>()) {
    sockaddr_un address{};
    controlSocketAddress(address);
    // A server thread that has just started may not listen yet.
    testing::eventually([&] {
        state_->socket = UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        const auto* to = reinterpret_cast<const sockaddr*>(&address);
        return ::connect(state_->socket.get(), to, sizeof(address)) == 0;
    });
}

TestClient::~TestClient() = default;

void TestClient::send(std::string_view bytes) {
    // A blocking stream socket takes it all, unless the server closes the connection first.
    ::send(state_->socket.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    ::shutdown(state_->socket.get(), SHUT_WR);  // the end of the message, as a pipe has it
}

std::string TestClient::receiveAll(std::size_t limit) {
    std::string received;
    char buffer[65536];
    while (received.size() < limit) {
        const ssize_t count = ::recv(state_->socket.get(), buffer, sizeof(buffer), 0);
        if (count <= 0) {  // a reset is no clean end
            return count == 0 ? received : received + " (read error)";
        }
        received.append(buffer, static_cast<std::size_t>(count));
    }
    return received;
}

}  // namespace halvern::test
