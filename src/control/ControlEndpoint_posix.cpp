#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "common/AccountIds.h"
#include "common/MonotonicClock.h"
#include "common/ServiceDirectories.h"
#include "common/UniqueFd.h"
#include "control/ControlEndpoint.h"
#include "control/ControlServer.h"
#include "control/ControlSocket_posix.h"
#include "control/TunnelService.h"

namespace halvern {
namespace {

constexpr const char* kSocketName = "HalvernService.sock";
constexpr const char* kClientGroup = "halvern";
constexpr std::int64_t kRetryPauseMilliseconds = 500;
// How often a write that waits for a client looks whether the service is stopping.
constexpr std::int64_t kStopLookMilliseconds = 20;

// What a client sent beyond its request is read and dropped before the connection closes
// (see ~SocketConnection), within these bounds: a client that reads its answer and closes is
// done in microseconds, one that keeps writing or never closes holds the server no longer.
constexpr std::int64_t kDrainBudgetMilliseconds = 500;
constexpr std::size_t kDrainLimitBytes = 1048576;

// Waits until `events` are ready on `fd` or `deadline` passes.
bool waitReady(int fd, short events, MonotonicClock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - MonotonicClock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{fd, events, 0};
        const int ready = ::poll(
            &entry, 1,
            static_cast<int>(std::min<std::int64_t>(left.count(), kRequestReadBudgetMilliseconds)));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// The socket is non-blocking only for this server's calls (MSG_DONTWAIT), so every wait is
// bounded by the connection's budgets while the common case (data already there, room in the
// client's buffer) costs one system call.
class SocketConnection final : public ControlConnection {
  public:
    SocketConnection(UniqueFd socket, const TunnelService& service)
        : socket_(std::move(socket)),
          service_(service),
          readDeadline_(MonotonicClock::now() +
                        std::chrono::milliseconds(kRequestReadBudgetMilliseconds)) {}

    // The answer ends with a clean end of stream. Closing a Unix socket that still holds unread
    // bytes would hand the client ECONNRESET instead, so what it sent beyond its request is read
    // and dropped first. Most clients have sent all they will by now (halvernctl ends its side
    // after the request), and the close is then the end of stream, as it always was. One that
    // may still be writing is given the end of stream at once and drained until it ends its side
    // or the drain's bounds are reached, unless the service is stopping.
    ~SocketConnection() override {
        std::size_t drained = 0;
        if (!drainToEnd(MonotonicClock::now(), drained) && !service_.stopping()) {
            ::shutdown(socket_.get(), SHUT_WR);
            drainToEnd(MonotonicClock::now() + std::chrono::milliseconds(kDrainBudgetMilliseconds),
                       drained);
        }
    }

    ControlReadResult read(char* buffer, std::size_t size) override {
        const ssize_t count = receive(buffer, size, readDeadline_);
        return count > 0 ? ControlReadResult{static_cast<std::size_t>(count), true}
                         : ControlReadResult{};
    }

    // A response may be written in many pieces while the service reads a log. Each piece waits
    // for the client to make room for at most the write budget, however much it has read
    // before, and not at all once the service is stopping: a client that stalls is dropped
    // within the budget, and never holds a stop.
    std::size_t write(const char* data, std::size_t size) override {
        const auto deadline =
            MonotonicClock::now() + std::chrono::milliseconds(kResponseWriteBudgetMilliseconds);
        for (;;) {
            const ssize_t count = ::send(socket_.get(), data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (count > 0) {
                return static_cast<std::size_t>(count);
            }
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                return 0;
            }
            const auto look =
                MonotonicClock::now() + std::chrono::milliseconds(kStopLookMilliseconds);
            while (!waitReady(socket_.get(), POLLOUT, std::min(look, deadline))) {
                if (service_.stopping() || MonotonicClock::now() >= deadline) {
                    return 0;
                }
            }
        }
    }

  private:
    // What recv gives, waiting for it until `deadline`: the count, 0 at the end of the stream or
    // on a failure, -1 when the wait ran out.
    ssize_t receive(char* buffer, std::size_t size, MonotonicClock::time_point deadline) {
        for (;;) {
            const ssize_t count = ::recv(socket_.get(), buffer, size, MSG_DONTWAIT);
            if (count >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
                return std::max<ssize_t>(count, 0);
            }
            if (errno != EINTR && !waitReady(socket_.get(), POLLIN, deadline)) {
                return -1;
            }
        }
    }

    // Reads and drops what the client sends, waiting for more until `deadline`. True once
    // nothing more can come (its end of stream, or a failed connection).
    bool drainToEnd(MonotonicClock::time_point deadline, std::size_t& drained) {
        std::array<char, 4096> scratch{};
        while (drained < kDrainLimitBytes) {
            const ssize_t count = receive(scratch.data(), scratch.size(), deadline);
            if (count <= 0) {
                return count == 0;
            }
            drained += static_cast<std::size_t>(count);
        }
        return false;
    }

    UniqueFd socket_;
    const TunnelService& service_;
    MonotonicClock::time_point readDeadline_;
};

class SocketEndpoint final : public ControlEndpoint {
  public:
    explicit SocketEndpoint(const TunnelService& service) : service_(service) {}

    // Removes the socket file so that clients are told "not running" at once, unless another
    // server has since put its own socket there.
    ~SocketEndpoint() override {
        if (!listener_.valid()) {
            return;
        }
        struct stat info {};
        if (::stat(path_.c_str(), &info) == 0 && info.st_dev == boundDevice_ &&
            info.st_ino == boundInode_) {
            ::unlink(path_.c_str());
        }
    }

    std::unique_ptr<ControlConnection> waitForClient() override {
        if (!listener_.valid()) {
            if (!createListener()) {
                sleepMilliseconds(kRetryPauseMilliseconds);
                return nullptr;
            }
            // A stop's wake-up connection is lost while nothing listens yet; a stop that began
            // before the socket listened is seen here, one that begins later reaches it.
            if (service_.stopping()) {
                return nullptr;
            }
        }
        UniqueFd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) {
            const int error = errno;
            // Out of descriptors or memory: pause as after a failed creation instead of spinning.
            if (error != EINTR && error != ECONNABORTED) {
                sleepMilliseconds(kRetryPauseMilliseconds);
            }
            return nullptr;
        }
        if (!peerMayTalk(client.get())) {
            return nullptr;  // closed without a word
        }
        return std::make_unique<SocketConnection>(std::move(client), service_);
    }

  private:
    bool createListener() {
        if (!ensureServiceDirectory(kControlDirectory)) {
            return false;
        }
        path_ = controlEndpointAddress().string();
        sockaddr_un address{};
        if (!controlSocketAddress(address)) {
            return false;
        }
        UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!listener.valid()) {
            return false;
        }
        // A socket file left by a server that did not end cleanly would make bind fail.
        ::unlink(path_.c_str());
        if (::bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
            0) {
            return false;
        }
        // Permissions are settled before listen(), so no client can connect through a socket
        // that is still more open than intended.
        bool groupAccess = false;
        if (const std::optional<gid_t> group = groupIdOf(kClientGroup)) {
            groupAccess = ::chown(path_.c_str(), static_cast<uid_t>(-1), *group) == 0;
        }
        struct stat info {};
        if (::chmod(path_.c_str(), groupAccess ? 0660 : 0600) != 0 ||
            ::stat(path_.c_str(), &info) != 0 || ::listen(listener.get(), SOMAXCONN) != 0) {
            ::unlink(path_.c_str());
            return false;
        }
        boundDevice_ = info.st_dev;
        boundInode_ = info.st_ino;
        listener_ = std::move(listener);
        return true;
    }

    // Root, the account the service runs as (root in production; the same rule lets a developer's
    // unprivileged build talk to itself), or a member of the client group, by its primary group or
    // by a supplementary one. The file mode already keeps others out; this holds even when the
    // mode has been loosened by hand.
    static bool peerMayTalk(int fd) {
        ucred peer{};
        socklen_t length = sizeof(peer);
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            return false;
        }
        if (peer.uid == 0 || peer.uid == ::geteuid()) {
            return true;
        }
        const std::optional<gid_t> group = groupIdOf(kClientGroup);
        if (!group) {
            return false;
        }
        if (peer.gid == *group) {
            return true;
        }
        std::vector<gid_t> groups(64);
        for (;;) {
            auto bytes = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
            if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &bytes) == 0) {
                groups.resize(bytes / sizeof(gid_t));
                return std::find(groups.begin(), groups.end(), *group) != groups.end();
            }
            if (errno != ERANGE || bytes / sizeof(gid_t) <= groups.size()) {
                return false;
            }
            groups.resize(bytes / sizeof(gid_t));
        }
    }

    const TunnelService& service_;
    UniqueFd listener_;
    std::string path_;
    dev_t boundDevice_ = 0;
    ino_t boundInode_ = 0;
};

}  // namespace

std::filesystem::path controlEndpointAddress() {
    return std::filesystem::path(kControlDirectory) / kSocketName;
}

bool controlSocketAddress(sockaddr_un& address) {
    const std::string path = controlEndpointAddress().string();
    address = {};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) {
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

std::unique_ptr<ControlEndpoint> makeControlEndpoint(const TunnelService& service) {
    return std::make_unique<SocketEndpoint>(service);
}

void wakeControlEndpoint() noexcept {
    try {
        sockaddr_un address{};
        if (!controlSocketAddress(address)) {
            return;
        }
        // Non-blocking, so that a full backlog makes the connect fail at once instead of
        // waiting: like the pipe's busy instance, that is simply no wake-up.
        const UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!socket.valid() || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address),
                                         sizeof(address)) != 0) {
            return;
        }
        const ssize_t ignored =
            ::send(socket.get(), kWakeRequest.data(), kWakeRequest.size(), MSG_NOSIGNAL);
        static_cast<void>(ignored);
    } catch (...) {  // NOLINT(bugprone-empty-catch): a failed wake-up is no wake-up
    }
}

}  // namespace halvern
