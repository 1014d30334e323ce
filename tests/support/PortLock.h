#pragma once

// 127.0.0.1:10807 is fixed and shared with other checkouts: a test that needs it holds this lock
// and is RUN_SERIAL. The lock is the exclusive creation of /tmp/halvern-port-10807.owner, atomic
// for Linux and Wine alike (LockFileEx and bind are not); one over a minute old is a leftover.
namespace halvern::testing {

class SocksPortLock {
  public:
    SocksPortLock();  // blocks until the lock is ours
    ~SocksPortLock();
    SocksPortLock(const SocksPortLock&) = delete;
    SocksPortLock& operator=(const SocksPortLock&) = delete;
};

// Waits up to `waitMs` until nothing accepts connections on 127.0.0.1:`port`; false if one does.
bool waitUntilPortIsFree(int port, int waitMs = 5000);

}  // namespace halvern::testing
