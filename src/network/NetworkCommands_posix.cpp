#include "network/NetworkCommands.h"

namespace halvern {

const NetworkCommandBuilder& platformNetworkCommands() {
    return ipCommands();
}

}  // namespace halvern
