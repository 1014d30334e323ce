#pragma once

// The proxy core's SOCKS5 port 127.0.0.1:10807 is fixed and shared with other checkouts' tests:
// one that listens on it or needs it free holds a SocksPortLock meanwhile and is RUN_SERIAL. The
// lock is the exclusive creation of /tmp/halvern-port-10807.owner (Z:\tmp\... under Wine), atomic
// for Linux and Wine processes alike, which LockFileEx and bind are not. An owner file over a
// minute old (no test holds the lock that long) is a killed test's leftover and is removed.
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
