#include "processes/TunnelBridgeProcess.h"

namespace halvern {

// Linux interface names hold at most 15 bytes, too few for "Halvern_Tun_" and a pid. The name
// still begins with "Halvern", which is what route discovery passes over.
std::string tunnelAdapterName() {
    return "Halvern_" + std::to_string(ProcessLauncher::currentProcessId());
}

// There is no driver library to place on Linux: the kernel provides the TUN device.
void TunnelBridgeProcess::ensureWintun() const {}

}  // namespace halvern
