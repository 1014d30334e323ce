#include <windows.h>

#include <filesystem>

#include "integration/SequenceNetwork.h"
#include "support/TestSupport.h"

namespace halvern::testing {

SequenceNetwork::SequenceNetwork(const std::string& adapterName) : adapterName_(adapterName) {
    record_ = (std::filesystem::temp_directory_path() /
               ("halvern_standins_" + std::to_string(GetCurrentProcessId()) + ".txt"))
                  .string();
    std::filesystem::remove(record_);
    SetEnvironmentVariableA("HALVERN_STANDIN_RECORD", record_.c_str());
}

SequenceNetwork::~SequenceNetwork() {
    SetEnvironmentVariableA("HALVERN_STANDIN_RECORD", nullptr);
    SetEnvironmentVariableA("HALVERN_STANDIN_EXIT", nullptr);
    SetEnvironmentVariableA("HALVERN_STANDIN_FAIL_ON", nullptr);
    std::error_code ignored;
    std::filesystem::remove(record_, ignored);
}

bool SequenceNetwork::change(const std::string& /*command*/) const {
    return false;
}

std::string SequenceNetwork::commandRecord() const {
    return readFileBytes(record_);
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
