#pragma once

#include <memory>

// The proxy core's SOCKS5 port 127.0.0.1:10807 is fixed, so every test on this machine that
// listens on it, or needs it to be free, shares one port with the tests of other checkouts running
// at the same time. Such tests hold a SocksPortLock for as long as they depend on the port's
// state, and their ctest cases are RUN_SERIAL.
//
// The lock is a whole-file lock on /tmp/halvern-port-10807.lock, taken both as flock() and as an
// open-file-description fcntl() lock. Windows tests under Wine lock the same file (Z:\tmp\...)
// with LockFileEx, which Wine's server mirrors as an fcntl() lock, so Linux and Wine tests exclude
// each other too. On real Windows the file is in the temporary directory.
namespace halvern::testing {

class SocksPortLock {
  public:
    SocksPortLock();  // blocks until the lock is ours
    ~SocksPortLock();
    SocksPortLock(const SocksPortLock&) = delete;
    SocksPortLock& operator=(const SocksPortLock&) = delete;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Listens on 127.0.0.1:`port` for the life of the object. Binding is retried for up to
// `retryMs` while another program still holds the port.
class LoopbackListener {
  public:
    explicit LoopbackListener(int port, int retryMs = 5000);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;
    bool listening() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// Waits up to `waitMs` until nothing accepts connections on 127.0.0.1:`port`; false if something
// still does (a program outside the lock's discipline).
bool waitUntilPortIsFree(int port, int waitMs = 5000);

}  // namespace halvern::testing
