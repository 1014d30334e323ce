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
// System, administrators and interactively logged-on users; nothing inherited.
constexpr const wchar_t* kPipeSecurity = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;IU)";
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

class PipeConnection final : public ControlConnection {
  public:
    PipeConnection(UniqueLocalMemory descriptor, UniqueFileHandle pipe, HANDLE serverThread)
        : descriptor_(std::move(descriptor)),
          pipe_(std::move(pipe)),
          serverThread_(serverThread),
          readDeadline_(MonotonicClock::now() +
                        std::chrono::milliseconds(kRequestReadBudgetMilliseconds)) {}

    // Flush, disconnect, close, in that order; then the descriptor is freed (member order).
    ~PipeConnection() override {
        armWriteDeadline();
        FlushFileBuffers(pipe_.get());
        writeDeadline_.reset();
        DisconnectNamedPipe(pipe_.get());
        pipe_.reset();
    }

    ControlReadResult read(char* buffer, std::size_t size) override {
        if (!waitForData()) {
            return {};
        }
        DWORD count = 0;
        const BOOL succeeded =
            ReadFile(pipe_.get(), buffer, static_cast<DWORD>(size), &count, nullptr);
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
        return WriteFile(pipe_.get(), data, toWrite, &written, nullptr) ? written : 0;
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
        for (int pass = 0;; ++pass) {
            DWORD available = 0;
            DWORD leftInMessage = 0;
            if (!PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, &leftInMessage) ||
                available > 0 || leftInMessage > 0) {
                return true;
            }
            if (MonotonicClock::now() >= readDeadline_) {
                return false;
            }
            Sleep(pass < 20 ? 1 : 10);
        }
    }

    UniqueLocalMemory descriptor_;
    UniqueFileHandle pipe_;
    HANDLE serverThread_;
    MonotonicClock::time_point readDeadline_;
    std::optional<SynchronousIoDeadline> writeDeadline_;
};

class PipeEndpoint final : public ControlEndpoint {
  public:
    explicit PipeEndpoint(const TunnelService& service) : service_(service) {
        // A real handle to the server thread (the pseudo-handle would name the timer's thread).
        HANDLE thread = nullptr;
        if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &thread,
                            0, FALSE, DUPLICATE_SAME_ACCESS)) {
            thread_.reset(thread);
        }
    }

    std::unique_ptr<ControlConnection> waitForClient() override {
        // Converted afresh for every instance and freed when its connection ends.
        UniqueLocalMemory descriptor;
        SECURITY_ATTRIBUTES attributes{sizeof(attributes), nullptr, FALSE};
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSecurity, SDDL_REVISION_1,
                                                                 descriptor.put(), nullptr)) {
            attributes.lpSecurityDescriptor = descriptor.get();
        }

        // Always the first instance: the service holds one at a time, so another instance
        // under the name is someone else's, made before the service's or in the gap between
        // two connections, and the clients' requests (credentials included) would reach
        // whichever instance they happen to open.
        UniqueFileHandle pipe(CreateNamedPipeW(
            kPipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
            kPipeBufferBytes, kPipeBufferBytes, 0, &attributes));
        const DWORD createError = pipe.valid() ? ERROR_SUCCESS : GetLastError();
        if (createError != ERROR_SUCCESS || !aloneOnTheName(pipe.get())) {
            pipe.reset();
            reportCreationFailure(createError != ERROR_SUCCESS ? createError : ERROR_ACCESS_DENIED);
            Sleep(kCreateRetryPauseMilliseconds);
            return nullptr;
        }
        if (creationFailing_) {
            creationFailing_ = false;
            writeDebugOutput("HalvernService pipe: serving " + controlEndpointAddress().string() +
                             " again\n");
        }
        // A stop's wake-up connection finds no pipe while no instance exists, and is then lost.
        // Looking at the flag once the instance exists closes that gap: a stop that began before
        // this point is seen here, and one that begins after it finds the instance to wake.
        if (service_.stopping()) {
            return nullptr;
        }
        if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            return nullptr;
        }
        return std::make_unique<PipeConnection>(std::move(descriptor), std::move(pipe),
                                                thread_.get());
    }

  private:
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
            (error == ERROR_ACCESS_DENIED
                 ? ": another process holds the name, and the service does not serve beside it"
                 : "") +
            "; trying again every " + std::to_string(kCreateRetryPauseMilliseconds) + " ms\n");
    }

    const TunnelService& service_;
    UniqueHandle thread_;
    bool creationFailing_ = false;
};

}  // namespace

std::filesystem::path controlEndpointAddress() {
    return kPipeName;
}

std::unique_ptr<ControlEndpoint> makeControlEndpoint(const TunnelService& service) {
    return std::make_unique<PipeEndpoint>(service);
}

void wakeControlEndpoint() noexcept {
    const UniqueFileHandle pipe(
        CreateFileW(kPipeName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!pipe.valid()) {
        return;
    }
    DWORD written = 0;
    WriteFile(pipe.get(), kWakeRequest.data(), static_cast<DWORD>(kWakeRequest.size()), &written,
              nullptr);
}

}  // namespace halvern
