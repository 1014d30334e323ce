#include <fcntl.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/AddressText.h"
#include "common/UniqueFd.h"
#include "common/WholeFile.h"
#include "processes/AdapterCounters.h"

namespace halvern {
namespace {

// One counter file of /sys/class/net: a decimal number and a line feed.
std::optional<std::uint64_t> readCounter(const std::string& path) {
    const UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    if (!file.valid() || !readWholeFile(file.get(), 32, text)) {
        return std::nullopt;
    }
    const std::string_view content(text);
    return wholeNumber(content.substr(0, content.find('\n')), UINT64_MAX);
}

}  // namespace

TrafficStats adapterTrafficStats(const std::string& adapterName) noexcept {
    // The name becomes one component of a sysfs path: anything that could step out of
    // /sys/class/net names no adapter.
    if (adapterName.empty() || adapterName == "." || adapterName == ".." ||
        adapterName.find('/') != std::string::npos || adapterName.find('\0') != std::string::npos) {
        return {};
    }
    try {
        const std::string directory = "/sys/class/net/" + adapterName + "/statistics/";
        const auto sent = readCounter(directory + "tx_bytes");
        const auto received = readCounter(directory + "rx_bytes");
        if (!sent || !received) {
            return {};
        }
        return TrafficStats{*sent, *received};
    } catch (...) {  // out of memory for a path of a few bytes: report nothing, as for any failure
        return {};
    }
}

}  // namespace halvern
