#include "processes/TunnelBridgeProcess.h"

#include "common/ProcessIdentity.h"
#include "common/SessionNames.h"

namespace halvern {

// Linux interface names hold at most 15 bytes, too few for the prefix, "_Tun_" and a pid.
std::string tunnelAdapterName() {
    return std::string(session::kAdapterPrefix) + "_" + std::to_string(ownProcessId());
}

// There is no driver library to place on Linux: the kernel provides the TUN device.
void TunnelBridgeProcess::ensureWintun() const {}

}  // namespace halvern
