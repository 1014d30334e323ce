#include <windows.h>

#include <filesystem>
#include <fstream>

#include "integration/SequenceNetwork.h"
#include "processes/ProcessLauncher.h"

namespace halvern::testing {
namespace {

void setVariable(const char* name, const std::string& value) {
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
}

}  // namespace

SequenceNetwork::SequenceNetwork(const std::string& adapterName) : adapterName_(adapterName) {
    // The stand-ins append their lines here; children inherit the variable.
    state_ = (std::filesystem::temp_directory_path() /
              ("halvern-seq-" + std::to_string(ProcessLauncher::currentProcessId()) + ".record"))
                 .string();
    std::error_code ignored;
    std::filesystem::remove(state_, ignored);
    setVariable("HALVERN_STANDIN_RECORD", state_);
    setVariable("HALVERN_STANDIN_EXIT", "");
    setVariable("HALVERN_STANDIN_FAIL_ON", "");
}

SequenceNetwork::~SequenceNetwork() {
    setVariable("HALVERN_STANDIN_RECORD", "");
    setVariable("HALVERN_STANDIN_EXIT", "");
    setVariable("HALVERN_STANDIN_FAIL_ON", "");
    std::error_code ignored;
    std::filesystem::remove(state_, ignored);
}

void SequenceNetwork::failApply() {
    setVariable("HALVERN_STANDIN_EXIT", "1");
    setVariable("HALVERN_STANDIN_FAIL_ON", "add route 0.0.0.0/0");
}

void SequenceNetwork::bridgeEnded() {}

std::string SequenceNetwork::routingTable() const {
    return {};
}

std::string SequenceNetwork::resolverConfiguration() const {
    return {};
}

std::vector<std::string> SequenceNetwork::systemToolLines() const {
    std::vector<std::string> lines;
    std::ifstream record(state_);
    for (std::string line; std::getline(record, line);) {
        const auto at = line.find(" line=");
        if (at != std::string::npos) {
            std::string command = line.substr(at + 6);
            if (!command.empty() && command.back() == '\r') {
                command.pop_back();
            }
            lines.push_back(command);
        }
    }
    return lines;
}

}  // namespace halvern::testing
