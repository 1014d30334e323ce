#include "control/ServiceState.h"

namespace halvern {

std::mutex controllerMutex;
std::unique_ptr<TunnelController> controller;
std::atomic<bool> stopping{false};

}  // namespace halvern
