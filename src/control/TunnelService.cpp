#include "control/TunnelService.h"

namespace halvern {
namespace {

void disconnectQuietly(TunnelController* controller) noexcept {
    if (controller != nullptr) {
        try {
            controller->disconnect();
        } catch (...) {  // NOLINT(bugprone-empty-catch): the destructor tries again
        }
    }
}

}  // namespace

void TunnelService::setController(std::unique_ptr<TunnelController> controller) noexcept {
    const std::lock_guard lock(controllerMutex_);
    controller_ = std::move(controller);
    if (controller_) {
        controller_->setCommandLock(&controllerMutex_);
    }
}

void TunnelService::disconnect() noexcept {
    const std::lock_guard lock(controllerMutex_);
    disconnectQuietly(controller_.get());
}

void TunnelService::destroyController() noexcept {
    const std::lock_guard lock(controllerMutex_);
    disconnectQuietly(controller_.get());
    controller_.reset();
}

}  // namespace halvern
