#pragma once

// The proxy core's SOCKS5 port 127.0.0.1:10807 is fixed, so every test on this machine that
// listens on it, or needs it free, shares it with the tests of other checkouts running at the
// same time. Such tests hold a SocksPortLock while they depend on the port, and are RUN_SERIAL.
//
// The lock is the exclusive creation of /tmp/halvern-port-10807.owner (Z:\tmp\... under Wine):
// atomic for Linux and Wine processes alike, where LockFileEx does not see a Linux process's lock
// and a Wine socket can bind a port that a Linux socket holds. An owner file older than a minute
// is the leftover of a killed test (none holds the lock that long) and is removed.
namespace halvern::testing {

class SocksPortLock {
  public:
    SocksPortLock();  // blocks until the lock is ours
    ~SocksPortLock();
    SocksPortLock(const SocksPortLock&) = delete;
    SocksPortLock& operator=(const SocksPortLock&) = delete;
};

// Waits up to `waitMs` until nothing accepts connections on 127.0.0.1:`port`; false if something
// still does (a program outside the lock's discipline).
bool waitUntilPortIsFree(int port, int waitMs = 5000);

}  // namespace halvern::testing
