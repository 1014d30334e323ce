#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string_view>

#include "common/AddressText.h"
#include "processes/AdapterCounters.h"

namespace halvern {
namespace {

// One counter file of /sys/class/net: a decimal number and a line feed.
std::optional<std::uint64_t> readCounter(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::array<char, 32> text{};
    ssize_t got = 0;
    do {
        got = ::read(fd, text.data(), text.size());
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0) {
        return std::nullopt;
    }
    const std::string_view content(text.data(), static_cast<std::size_t>(got));
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
