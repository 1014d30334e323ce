#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "common/UniqueFd.h"
#include "network/NetworkChangeEvents.h"

namespace halvern {

struct NetworkChangeEvents::Handles {
    UniqueFd netlink;
    UniqueFd wakeup;
};

namespace {

constexpr int kMaxReadsPerWait = 64;

// Routes, links and IPv4 addresses: a new default route, a link going down and an uplink's
// address changing are the moves the watcher follows.
int openRouteSocket() noexcept {
    UniqueFd fd{::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE)};
    if (!fd.valid()) {
        return -1;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        return -1;
    }
    return fd.release();
}

// Only the fact that something came counts: the watcher reads the tables afresh. A socket
// whose buffer overran (ENOBUFS) has lost messages, which is still "something changed". Bounded,
// so a flood of changes cannot keep the watcher here.
void drain(int fd) noexcept {
    std::array<char, 8192> buffer{};
    for (int read = 0; read < kMaxReadsPerWait; ++read) {
        const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EINTR || errno == ENOBUFS)) {
            continue;
        }
        if (got <= 0) {
            return;
        }
    }
}

}  // namespace

NetworkChangeEvents::NetworkChangeEvents() : handles_(std::make_unique<Handles>()) {
    handles_->netlink.reset(openRouteSocket());
    handles_->wakeup.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

NetworkChangeEvents::~NetworkChangeEvents() = default;

bool NetworkChangeEvents::subscribed() const noexcept {
    return handles_->netlink.valid();
}

bool NetworkChangeEvents::wait(int timeoutMs) noexcept {
    std::array<pollfd, 2> fds{pollfd{handles_->wakeup.get(), POLLIN, 0},
                              pollfd{handles_->netlink.get(), POLLIN, 0}};
    int ready = 0;
    do {
        ready = ::poll(fds.data(), fds.size(), timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        return false;
    }
    if ((fds[0].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(handles_->wakeup.get(), &count, sizeof count);
    }
    if (fds[1].revents != 0) {
        drain(handles_->netlink.get());
    }
    return true;
}

void NetworkChangeEvents::wake() noexcept {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t put = ::write(handles_->wakeup.get(), &one, sizeof one);
}

}  // namespace halvern
