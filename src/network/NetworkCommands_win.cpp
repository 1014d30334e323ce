#include "network/NetworkCommands.h"

namespace halvern {

const NetworkCommandBuilder& platformNetworkCommands() {
    return netshCommands();
}

}  // namespace halvern
