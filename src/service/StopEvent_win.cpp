#include <windows.h>

#include <new>

#include "common/WinHandle.h"
#include "service/StopEvent.h"

namespace halvern {

struct StopEvent::Native {
    UniqueHandle event;
};

StopEvent::StopEvent() noexcept = default;
StopEvent::~StopEvent() = default;

std::uint32_t StopEvent::create() noexcept {
    UniqueHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const DWORD error = GetLastError();
    if (!event.valid()) {
        return error;
    }
    native_.reset(new (std::nothrow) Native{std::move(event)});
    return native_ ? 0 : ERROR_NOT_ENOUGH_MEMORY;
}

void StopEvent::signal() noexcept {
    if (native_) {
        SetEvent(native_->event.get());
    }
}

void StopEvent::wait() noexcept {
    if (native_) {
        WaitForSingleObject(native_->event.get(), INFINITE);
    }
}

void StopEvent::close() noexcept {
    native_.reset();
}

}  // namespace halvern
