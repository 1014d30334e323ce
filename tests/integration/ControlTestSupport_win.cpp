#include <windows.h>

#include <string>

#include "common/WinHandle.h"
#include "control/ControlServer.h"
#include "integration/ControlTestSupport.h"

namespace halvern::test {

// Overlapped, to read the answer while a write the server stopped taking is still pending.
struct TestClient::State {
    UniqueFileHandle pipe;
    UniqueHandle writeEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    UniqueHandle readEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED writeOverlapped{};
    std::string writeBuffer;
    bool writePending = false;
};

TestClient::TestClient() : state_(std::make_unique<State>()) {
    const std::wstring name = controlEndpointAddress().wstring();
    // Between two instances there is no pipe at all; a busy one is waited for by name.
    testing::eventually([&] {
        state_->pipe.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (!state_->pipe.valid() && GetLastError() == ERROR_PIPE_BUSY) {
            WaitNamedPipeW(name.c_str(), 1000);
        }
        return state_->pipe.valid();
    });
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(state_->pipe.get(), &mode, nullptr, nullptr);
}

TestClient::~TestClient() {
    if (state_->writePending) {  // the buffer must outlive the write
        CancelIoEx(state_->pipe.get(), &state_->writeOverlapped);
        DWORD ignored = 0;
        GetOverlappedResult(state_->pipe.get(), &state_->writeOverlapped, &ignored, TRUE);
    }
}

void TestClient::send(std::string_view bytes) {  // once per client
    state_->writeBuffer.assign(bytes);
    state_->writeOverlapped.hEvent = state_->writeEvent.get();
    const BOOL done = WriteFile(state_->pipe.get(), state_->writeBuffer.data(),
                                static_cast<DWORD>(state_->writeBuffer.size()), nullptr,
                                &state_->writeOverlapped);
    state_->writePending = done || GetLastError() == ERROR_IO_PENDING;
}

std::string TestClient::receiveAll(std::size_t limit) {
    std::string received;
    std::string buffer(65536, '\0');
    while (received.size() < limit) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = state_->readEvent.get();
        DWORD count = 0;
        BOOL succeeded = ReadFile(state_->pipe.get(), buffer.data(),
                                  static_cast<DWORD>(buffer.size()), nullptr, &overlapped);
        DWORD error = succeeded ? ERROR_SUCCESS : GetLastError();
        if (succeeded || error == ERROR_IO_PENDING || error == ERROR_MORE_DATA) {
            succeeded = GetOverlappedResult(state_->pipe.get(), &overlapped, &count, TRUE);
            error = succeeded ? ERROR_SUCCESS : GetLastError();
        }
        received.append(buffer.data(), count);
        if (!succeeded && error != ERROR_MORE_DATA) {
            return received;
        }
    }
    return received;
}

}  // namespace halvern::test
