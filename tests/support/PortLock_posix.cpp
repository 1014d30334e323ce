#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <stdexcept>
#include <string>

#include "common/MonotonicClock.h"
#include "common/UniqueFd.h"
#include "support/PortLock.h"

namespace halvern::testing {

struct SocksPortLock::State {
    UniqueFd file;
};

SocksPortLock::SocksPortLock() : state_(std::make_unique<State>()) {
    state_->file.reset(
        ::open("/tmp/halvern-port-10807.lock", O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666));
    if (!state_->file.valid()) {
        throw std::runtime_error("cannot open the port lock file: errno " + std::to_string(errno));
    }
    ::fchmod(state_->file.get(), 0666);
    int result = 0;
    do {
        result = ::flock(state_->file.get(), LOCK_EX);
    } while (result != 0 && errno == EINTR);
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    whole.l_start = 0;
    whole.l_len = 0;
    do {
        result = ::fcntl(state_->file.get(), F_OFD_SETLKW, &whole);
    } while (result != 0 && errno == EINTR);
}

SocksPortLock::~SocksPortLock() = default;  // closing the file releases both locks

struct LoopbackListener::State {
    UniqueFd socket;
};

LoopbackListener::LoopbackListener(int port, int retryMs) : state_(std::make_unique<State>()) {
    const auto start = MonotonicClock::now();
    for (;;) {
        UniqueFd listener{::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
        const int yes = 1;
        ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        ::inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) ==
                0 &&
            ::listen(listener.get(), 64) == 0) {
            state_->socket = std::move(listener);
            return;
        }
        if (elapsedMilliseconds(start) >= retryMs) {
            return;
        }
        sleepMilliseconds(50);
    }
}

LoopbackListener::~LoopbackListener() = default;

bool LoopbackListener::listening() const {
    return state_->socket.valid();
}

}  // namespace halvern::testing
