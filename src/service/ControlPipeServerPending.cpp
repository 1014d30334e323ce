// Stand-in for the control endpoint until it lands: serves nobody and ends when a stop begins.
#include "common/MonotonicClock.h"
#include "control/ControlPipeServer.h"
#include "control/ServiceState.h"

namespace halvern {

void runControlPipeServer() {
    while (!stopping.load()) {
        sleepMilliseconds(50);
    }
}

void wakeControlPipe() {}

}  // namespace halvern
