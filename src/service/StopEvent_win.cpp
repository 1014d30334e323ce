#include <windows.h>

#include "service/StopEvent.h"

namespace halvern {

StopEvent::~StopEvent() {
    close();
}

std::uint32_t StopEvent::create() noexcept {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const DWORD error = GetLastError();
    if (event == nullptr) {
        return error;
    }
    native_.store(event);
    return 0;
}

void StopEvent::signal() noexcept {
    HANDLE event = native_.load();
    if (event != nullptr) {
        SetEvent(event);
    }
}

void StopEvent::wait() noexcept {
    HANDLE event = native_.load();
    if (event != nullptr) {
        WaitForSingleObject(event, INFINITE);
    }
}

void StopEvent::close() noexcept {
    HANDLE event = native_.exchange(nullptr);
    if (event != nullptr) {
        CloseHandle(event);
    }
}

}  // namespace halvern
