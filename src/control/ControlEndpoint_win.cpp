#include <windows.h>
// After windows.h, which it needs.
#include <sddl.h>

#include <algorithm>
#include <optional>

#include "common/DebugOutput.h"
#include "common/ErrorText.h"
#include "common/MonotonicClock.h"
#include "common/UniqueLocalMemory.h"
#include "common/WinHandle.h"
#include "control/ControlEndpoint.h"
#include "control/ControlServer.h"
#include "control/TunnelService.h"

namespace halvern {
namespace {

constexpr const wchar_t* kPipeName = L"\\\\.\\pipe\\HalvernService";
// System, administrators and interactively logged-on users; nothing inherited. The users get
// what GENERIC_READ and GENERIC_WRITE map to on a pipe, and not WRITE_DAC, WRITE_OWNER or
// DELETE. That still holds FILE_CREATE_PIPE_INSTANCE (it is FILE_APPEND_DATA), so what keeps a
// user from adding an instance of their own is the one instance the service keeps for life.
constexpr const wchar_t* kPipeSecurity = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019f;;;IU)";
constexpr DWORD kPipeBufferBytes = 131072;
constexpr DWORD kCreateRetryPauseMilliseconds = 500;

// The pipe is synchronous, and a synchronous WriteFile or FlushFileBuffers waits for as long as
// the client does not read: FlushFileBuffers until every byte of the answer has been taken, a
// WriteFile of an answer larger than the pipe's buffer until the rest fits. Nothing the server
// can ask of the pipe tells whether the client is still reading, so the waits are bounded from
// outside: a timer of the system's thread pool cancels the server thread's synchronous I/O once the
// budget has passed (the cancelled call fails with ERROR_OPERATION_ABORTED and the connection is
// closed like any failed one). It repeats every 100 ms in case a cancel lands between two calls,
// and destroying the deadline waits for a running callback, so no cancel outlives it.
class SynchronousIoDeadline {
  public:
    SynchronousIoDeadline(HANDLE thread, DWORD milliseconds) noexcept {
        if (!CreateTimerQueueTimer(&timer_, nullptr, &cancelIo, thread, milliseconds, 100,
                                   WT_EXECUTEDEFAULT)) {
            timer_ = nullptr;  // no bound, the write goes on unbounded rather than not at all
        }
    }
    ~SynchronousIoDeadline() {
        if (timer_ != nullptr) {
            DeleteTimerQueueTimer(nullptr, timer_, INVALID_HANDLE_VALUE);
        }
    }
    SynchronousIoDeadline(const SynchronousIoDeadline&) = delete;
    SynchronousIoDeadline& operator=(const SynchronousIoDeadline&) = delete;
    SynchronousIoDeadline(SynchronousIoDeadline&&) = delete;
    SynchronousIoDeadline& operator=(SynchronousIoDeadline&&) = delete;

  private:
    static void CALLBACK cancelIo(PVOID thread, BOOLEAN /*timerFired*/) {
        CancelSynchronousIo(static_cast<HANDLE>(thread));
    }

    HANDLE timer_ = nullptr;
};

// The service's one instance, lent to one client. Ending the connection flushes and disconnects
// it; the instance stays the service's for the next client.
class PipeConnection final : public ControlConnection {
  public:
    PipeConnection(HANDLE pipe, HANDLE serverThread)
        : pipe_(pipe),
          serverThread_(serverThread),
          readDeadline_(MonotonicClock::now() +
                        std::chrono::milliseconds(kRequestReadBudgetMilliseconds)) {}

    ~PipeConnection() override {
        armWriteDeadline();
        FlushFileBuffers(pipe_);
        writeDeadline_.reset();
        DisconnectNamedPipe(pipe_);
    }

    ControlReadResult read(char* buffer, std::size_t size) override {
        if (!waitForData()) {
            return {};
        }
        DWORD count = 0;
        const BOOL succeeded = ReadFile(pipe_, buffer, static_cast<DWORD>(size), &count, nullptr);
        const DWORD error = succeeded ? ERROR_SUCCESS : GetLastError();
        // A successful read in message mode means the whole message has arrived; ERROR_MORE_DATA
        // means the message goes on beyond this buffer.
        return {count, !succeeded && error == ERROR_MORE_DATA};
    }

    // Message mode: each write is a message of its own, and the client reads one.
    bool takesResponseInPieces() const override { return false; }

    std::size_t write(const char* data, std::size_t size) override {
        armWriteDeadline();
        DWORD written = 0;
        const DWORD toWrite = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
        return WriteFile(pipe_, data, toWrite, &written, nullptr) ? written : 0;
    }

  private:
    void armWriteDeadline() noexcept {
        if (!writeDeadline_ && serverThread_ != nullptr) {
            writeDeadline_.emplace(serverThread_,
                                   static_cast<DWORD>(kResponseWriteBudgetMilliseconds));
        }
    }

    // ReadFile has no time-out on a synchronous pipe, so it is called only once PeekNamedPipe
    // shows data, or shows that the pipe broke (ReadFile then fails at once). A client that
    // stays silent past the read budget gets the request it has sent so far, as after a failed
    // read. The poll starts fast, so a client that writes right after connecting loses nothing.
    bool waitForData() const {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(readDeadline_ - MonotonicClock::now());
        return waitUntil(
            [this] {
                DWORD available = 0;
                DWORD leftInMessage = 0;
                return !PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, &leftInMessage) ||
                       available > 0 || leftInMessage > 0;
            },
            left.count(), 10);
    }

    HANDLE pipe_;
    HANDLE serverThread_;
    MonotonicClock::time_point readDeadline_;
    std::optional<SynchronousIoDeadline> writeDeadline_;
};

// One instance for the service's life. An instance that the service closed and made again per
// client would leave a moment with no instance of its own, and an instance a user added while the
// service waited would take every client once the service's went; a fast enough squatter wins
// that race every time. With the one instance never closed before the stop, and at most one
// allowed, no other instance can exist. A client that comes while another is served finds the
// pipe busy, and waits.
class PipeEndpoint final : public ControlEndpoint {
  public:
    explicit PipeEndpoint(const TunnelService& service) : service_(service) {
        // A real handle to the server thread (the pseudo-handle would name the timer's thread).
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), thread_.put(),
                        0, FALSE, DUPLICATE_SAME_ACCESS);
    }

    std::unique_ptr<ControlConnection> waitForClient() override {
        if (!pipe_.valid() && !createInstance()) {
            Sleep(kCreateRetryPauseMilliseconds);
            return nullptr;
        }
        // A stop's wake-up connection finds no pipe while no instance exists, and is then lost.
        // Looking at the flag once the instance exists closes that gap: a stop that began before
        // this point is seen here, and one that begins after it finds the instance to wake.
        if (service_.stopping()) {
            return nullptr;
        }
        if (!ConnectNamedPipe(pipe_.get(), nullptr)) {
            const DWORD error = GetLastError();
            if (error != ERROR_PIPE_CONNECTED) {
                // A client that came and went before the connect (ERROR_NO_DATA): the instance
                // is made ready for the next one. Any other failure is not retried at once.
                DisconnectNamedPipe(pipe_.get());
                if (error != ERROR_NO_DATA) {
                    Sleep(kCreateRetryPauseMilliseconds);
                }
                return nullptr;
            }
        }
        return std::make_unique<PipeConnection>(pipe_.get(), thread_.get());
    }

  private:
    bool createInstance() {
        UniqueLocalMemory descriptor;
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1,
                                                                 descriptor.put(), nullptr)) {
            attributes.lpSecurityDescriptor = descriptor.get();
        }
        // The first instance, and the only one: another instance under the name is someone
        // else's, and the clients' requests (credentials included) would reach it.
        UniqueFileHandle pipe(
            CreateNamedPipeW(kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                             kPipeBufferBytes, kPipeBufferBytes, 0, &attributes));
        const DWORD createError = pipe.valid() ? ERROR_SUCCESS : GetLastError();
        if (createError != ERROR_SUCCESS || !aloneOnTheName(pipe.get())) {
            reportCreationFailure(createError != ERROR_SUCCESS ? createError : ERROR_ACCESS_DENIED);
            return false;
        }
        if (creationFailing_) {
            creationFailing_ = false;
            writeDebugOutput("HalvernService pipe: serving " + controlEndpointAddress().string() +
                             " again\n");
        }
        pipe_ = std::move(pipe);
        return true;
    }

    // A check of its own beside the flag, for systems that do not enforce it (Wine): the
    // instance count the pipe reports counts every server's instances.
    static bool aloneOnTheName(HANDLE pipe) {
        DWORD instances = 0;
        return !GetNamedPipeHandleStateW(pipe, nullptr, &instances, nullptr, nullptr, nullptr, 0) ||
               instances <= 1;
    }

    // One line for a run of failures, not one every 500 ms.
    void reportCreationFailure(DWORD error) {
        if (creationFailing_) {
            return;
        }
        creationFailing_ = true;
        writeDebugOutput(
            "HalvernService pipe: cannot create " + controlEndpointAddress().string() +
            errorCodeSuffix(error) +
            (error == ERROR_ACCESS_DENIED || error == ERROR_PIPE_BUSY
                 ? ": another process holds the name, and the service does not serve beside it"
                 : "") +
            "; trying again every " + std::to_string(kCreateRetryPauseMilliseconds) + " ms\n");
    }

    const TunnelService& service_;
    UniqueHandle thread_;
    UniqueFileHandle pipe_;  // closed only when the endpoint goes, at the stop
    bool creationFailing_ = false;
};

}  // namespace

std::filesystem::path controlEndpointAddress() {
    return kPipeName;
}

std::unique_ptr<ControlEndpoint> makeControlEndpoint(const TunnelService& service) {
    return std::make_unique<PipeEndpoint>(service);
}

// The one instance takes a client only while the server waits in ConnectNamedPipe: a wake that
// comes while it serves someone, or between two clients, finds it busy, and waits for it. The
// server looks at the stopping flag before each wait, so it is woken or has seen the stop;
// either way the wait is bounded by what one client may hold it for.
void wakeControlEndpoint() noexcept {
    constexpr std::int64_t kPatienceMilliseconds =
        kRequestReadBudgetMilliseconds + kResponseWriteBudgetMilliseconds + 2000;
    const auto start = MonotonicClock::now();
    for (;;) {
        const UniqueFileHandle pipe(
            CreateFileW(kPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe.valid()) {
            DWORD written = 0;
            WriteFile(pipe.get(), kWakeRequest.data(), static_cast<DWORD>(kWakeRequest.size()),
                      &written, nullptr);
            return;
        }
        const std::int64_t waited = elapsedMilliseconds(start);
        if (GetLastError() != ERROR_PIPE_BUSY || waited >= kPatienceMilliseconds) {
            return;  // no pipe: the server has gone already
        }
        WaitNamedPipeW(kPipeName, static_cast<DWORD>(kPatienceMilliseconds - waited));
    }
}

}  // namespace halvern
