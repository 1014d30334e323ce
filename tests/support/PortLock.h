#pragma once

#include <cstdint>

// The proxy core's SOCKS5 port 127.0.0.1:10807 is fixed, so every test on this machine that
// listens on it, or needs it to be free, shares one port with the tests of other checkouts running
// at the same time. Such tests hold a SocksPortLock for as long as they depend on the port's
// state, and their ctest cases are RUN_SERIAL.
//
// The lock is the exclusive creation of /tmp/halvern-port-10807.owner (Z:\tmp\... under Wine),
// removed again on release: an exclusive create is atomic for Linux and Wine processes alike,
// where LockFileEx does not notice a Linux process's lock and a Wine socket can bind a port that
// a Linux socket holds. An owner file older than a minute is taken for the leftover of a killed
// test (no test holds the lock that long) and removed.
namespace halvern::testing {

class SocksPortLock {
  public:
    SocksPortLock();  // blocks until the lock is ours
    ~SocksPortLock();
    SocksPortLock(const SocksPortLock&) = delete;
    SocksPortLock& operator=(const SocksPortLock&) = delete;
};

// Listens on 127.0.0.1:`port` for the life of the object. Binding is retried for up to
// `retryMs` while another program still holds the port.
class LoopbackListener {
  public:
    explicit LoopbackListener(int port, int retryMs = 5000);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    bool listening() const { return socket_ != -1; }

  private:
    std::intptr_t socket_ = -1;  // a descriptor, or a SOCKET on Windows (INVALID_SOCKET is ~0)
};

// Waits up to `waitMs` until nothing accepts connections on 127.0.0.1:`port`; false if something
// still does (a program outside the lock's discipline).
bool waitUntilPortIsFree(int port, int waitMs = 5000);

}  // namespace halvern::testing
