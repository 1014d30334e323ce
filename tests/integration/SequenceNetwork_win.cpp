#include <windows.h>

#include "integration/SequenceNetwork.h"

namespace halvern::testing {

SequenceNetwork::SequenceNetwork(const std::string& adapterName) : adapterName_(adapterName) {}

SequenceNetwork::~SequenceNetwork() {
    SetEnvironmentVariableA("HALVERN_STANDIN_EXIT", nullptr);
    SetEnvironmentVariableA("HALVERN_STANDIN_FAIL_ON", nullptr);
}

// The stand-ins read these; children inherit them.
void SequenceNetwork::bridgeEnded() {
    SetEnvironmentVariableA("HALVERN_STANDIN_EXIT", "1");
    SetEnvironmentVariableA("HALVERN_STANDIN_FAIL_ON", "add route 0.0.0.0/0");
}

std::string SequenceNetwork::routingTable() const {
    return {};
}

std::string SequenceNetwork::resolverConfiguration() const {
    return {};
}

}  // namespace halvern::testing
