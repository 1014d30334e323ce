#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/ServiceDirectories.h"
#include "service/ServiceEntry.h"
#include "service/ServiceRuntime.h"

// The Linux daemon: the main thread plays the service main function and a signal-waiting thread
// plays the control handler, so the stop runs across two threads in the same order as under the
// Windows service control manager.
namespace halvern {
namespace {

// The main thread wakes the handler thread with this one when the service ended on its own; from
// anyone else it is ignored.
constexpr int kWakeSignal = SIGUSR1;

// The signals the handler thread waits for: the two stop requests and the wake-up.
sigset_t handledSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, kWakeSignal);
    return signals;
}

// systemd follows the process itself (Type=simple); the phase only gates the stop handler.
class DaemonPhase final : public ServiceStatusReporter {
  public:
    void report(ServicePhase phase, std::uint32_t /*exitCode*/) noexcept override {
        {
            const std::lock_guard lock(mutex_);
            phase_ = phase;
        }
        changed_.notify_all();
    }

    bool stopped() {
        const std::lock_guard lock(mutex_);
        return phase_ == ServicePhase::stopped;
    }

    // True once the service runs, false when it stopped first.
    bool waitUntilRunningOrStopped() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] {
            return phase_ == ServicePhase::running || phase_ == ServicePhase::stopped;
        });
        return phase_ == ServicePhase::running;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    ServicePhase phase_ = ServicePhase::startPending;
};

// Like the Windows service, which accepts a stop only once it reports running, a stop signal
// that arrives during the start is held until then; it is neither lost nor raced with the start.
void waitForStopSignal(DaemonPhase& phase, ServiceRuntime& runtime) {
    const sigset_t signals = handledSignals();
    for (;;) {
        int received = 0;
        if (sigwait(&signals, &received) != 0) {
            continue;
        }
        if (received == kWakeSignal) {
            if (phase.stopped()) {
                return;
            }
            continue;
        }
        if (phase.waitUntilRunningOrStopped()) {
            runtime.stop();
        }
        return;  // stopped, or the service ended while the signal waited for the start
    }
}

// Descriptors 0 to 2 that the service was started without would go to the first files and
// sockets it opens, and the status lines would then be written into those: each closed one is
// pointed at /dev/null first.
bool openStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        const int opened = ::open("/dev/null", O_RDWR);  // the lowest free number: `fd` itself
        if (opened != fd) {
            if (opened >= 0) {
                ::close(opened);
            }
            return false;
        }
    }
    return true;
}

}  // namespace

std::uint32_t threadStartFailureCode(int errorValue) noexcept {
    return errorValue != 0 ? static_cast<std::uint32_t>(errorValue) : EAGAIN;
}

std::uint32_t runAsService() {
    // A status line written to a stderr whose reader has gone fails with EPIPE instead of ending
    // the service (the sockets are written with MSG_NOSIGNAL already). Children start with every
    // signal at its default, whatever the service ignores.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (::sigaction(SIGPIPE, &ignore, nullptr) != 0 || !openStandardDescriptors() ||
        !ensureServiceDirectory(runtimeDirectory())) {
        const int error = errno;
        return error != 0 ? static_cast<std::uint32_t>(error) : EIO;
    }

    // Blocked before any thread exists, so every thread inherits the mask and the signals reach
    // only the waiting thread, never a thread in the middle of a command.
    const sigset_t signals = handledSignals();
    const int maskError = pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (maskError != 0) {
        return static_cast<std::uint32_t>(maskError);
    }

    DaemonPhase phase;
    ServiceRuntime runtime(phase);
    std::thread handlerThread;
    try {
        handlerThread = std::thread(waitForStopSignal, std::ref(phase), std::ref(runtime));
    } catch (const std::system_error& error) {
        return threadStartFailureCode(error.code().value());
    }

    const std::uint32_t exitCode = runtime.run();

    // The handler thread has either run the stop and returned, or still waits for a signal
    // that will not come: wake it; it sees the service stopped and returns.
    pthread_kill(handlerThread.native_handle(), kWakeSignal);
    handlerThread.join();
    return exitCode;
}

}  // namespace halvern
