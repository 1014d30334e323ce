// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <array>

#include "common/WinHandle.h"
#include "network/NetworkChangeEvents.h"

namespace halvern {

// The callbacks run on a thread of the system's pool: they only set the event, and the watcher
// reads the tables itself. Each registration is cancelled before the event is closed, and
// CancelMibChangeNotify2 waits for a callback that is running, so none can touch a closed handle.
struct NetworkChangeEvents::Handles {
    UniqueHandle changed;
    UniqueHandle wakeup;
    HANDLE routeNotification = nullptr;
    HANDLE interfaceNotification = nullptr;

    Handles() = default;
    ~Handles() {
        if (routeNotification != nullptr) {
            CancelMibChangeNotify2(routeNotification);
        }
        if (interfaceNotification != nullptr) {
            CancelMibChangeNotify2(interfaceNotification);
        }
    }
    Handles(const Handles&) = delete;
    Handles& operator=(const Handles&) = delete;
};

namespace {

void CALLBACK routeChanged(PVOID context, PMIB_IPFORWARD_ROW2 /*row*/,
                           MIB_NOTIFICATION_TYPE /*type*/) {
    SetEvent(static_cast<HANDLE>(context));
}

void CALLBACK interfaceChanged(PVOID context, PMIB_IPINTERFACE_ROW /*row*/,
                               MIB_NOTIFICATION_TYPE /*type*/) {
    SetEvent(static_cast<HANDLE>(context));
}

}  // namespace

NetworkChangeEvents::NetworkChangeEvents() : handles_(std::make_unique<Handles>()) {
    handles_->changed.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    handles_->wakeup.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!handles_->changed.valid()) {
        return;
    }
    HANDLE notification = nullptr;
    if (NotifyRouteChange2(AF_INET, routeChanged, handles_->changed.get(), FALSE, &notification) ==
        NO_ERROR) {
        handles_->routeNotification = notification;
    }
    notification = nullptr;
    if (NotifyIpInterfaceChange(AF_INET, interfaceChanged, handles_->changed.get(), FALSE,
                                &notification) == NO_ERROR) {
        handles_->interfaceNotification = notification;
    }
}

NetworkChangeEvents::~NetworkChangeEvents() = default;

bool NetworkChangeEvents::subscribed() const noexcept {
    return handles_->routeNotification != nullptr || handles_->interfaceNotification != nullptr;
}

bool NetworkChangeEvents::wait(int timeoutMs) noexcept {
    std::array<HANDLE, 2> events{handles_->wakeup.get(), handles_->changed.get()};
    const DWORD count = handles_->changed.valid() ? 2 : 1;
    if (!handles_->wakeup.valid()) {
        Sleep(static_cast<DWORD>(timeoutMs));
        return false;
    }
    const DWORD result =
        WaitForMultipleObjects(count, events.data(), FALSE, static_cast<DWORD>(timeoutMs));
    return result == WAIT_OBJECT_0 || result == WAIT_OBJECT_0 + 1;
}

void NetworkChangeEvents::wake() noexcept {
    if (handles_->wakeup.valid()) {
        SetEvent(handles_->wakeup.get());
    }
}

}  // namespace halvern
