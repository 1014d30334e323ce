#include "network/NetworkConfigurator.h"

#include <stdexcept>

namespace halvern {

NetworkConfigurator::~NetworkConfigurator() {
    try {
        restore();
    } catch (...) {  // NOLINT(bugprone-empty-catch): a destructor must not throw
    }
}

void NetworkConfigurator::apply(const std::string& /*adapterName*/,
                                const std::string& /*serverAddress*/,
                                const std::string& /*tunnelAddress*/,
                                const std::vector<std::string>& /*dnsServers*/,
                                bool /*setAddress*/) {
    throw std::runtime_error("Network setup is not available in this build");
}

void NetworkConfigurator::restore() {
    applied_ = false;
}

}  // namespace halvern
