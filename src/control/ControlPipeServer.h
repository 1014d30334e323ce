#pragma once

namespace halvern {

void runControlPipeServer();
void wakeControlPipe();

}  // namespace halvern
