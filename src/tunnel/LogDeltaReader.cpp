#include "tunnel/LogDeltaReader.h"

#include <algorithm>
#include <limits>

#include "common/SessionNames.h"

namespace halvern {
namespace {

// The log's file name for a source word; empty when the word names none.
std::string_view logFileNameForSource(const std::string& source) {
    if (source == "windows_xray") {
        return session::kCoreLogFileName;
    }
    if (source == "windows_tun2socks") {
        return session::kBridgeLogFileName;
    }
    return {};
}

}  // namespace

std::optional<LogReadPlan> planLogRead(std::int64_t size, std::int64_t offset,
                                       std::int64_t maxBytes) {
    if (offset >= size) {
        return std::nullopt;
    }
    // A negative offset has no meaning of its own. It reads from the start of the file while the
    // reported next offset is still the given one plus the bytes read, which is what clients of
    // the Windows service have always seen. Nothing before byte 0 can be read, so the request
    // never grows past what the file holds.
    const std::int64_t position = std::max<std::int64_t>(offset, 0);
    // One read moves at most 2^32 - 1 bytes. A negative limit asks for nothing rather than, cut
    // to 32 bits, for a buffer of nearly 4 GiB; a limit beyond 32 bits is the largest single read
    // rather than its low bits, which could be any small number.
    constexpr std::int64_t kLargestRead = std::numeric_limits<std::uint32_t>::max();
    const std::int64_t limit = std::clamp<std::int64_t>(maxBytes, 0, kLargestRead);
    const std::int64_t count = std::min(size - position, limit);
    return LogReadPlan{position, static_cast<std::uint32_t>(count)};
}

LogDelta streamLogDelta(const std::string& source, std::int64_t offset, std::int64_t maxBytes,
                        const LogChunkSink& sink) {
    const std::string_view fileName = logFileNameForSource(source);
    if (fileName.empty()) {
        return LogDelta{offset, 0};
    }
    return readLogFile(std::string(fileName), offset, maxBytes, sink);
}

}  // namespace halvern
