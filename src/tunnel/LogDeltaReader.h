#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace halvern {

// Where one piece of a child's log ended: the offset to ask for next, and the file's size.
struct LogDelta {
    std::int64_t nextOffset = 0;
    std::int64_t fileSize = 0;
    bool operator==(const LogDelta&) const = default;
};

// Receives the bytes of a piece in the order they stand in the file; false ends the read (the
// client has gone).
using LogChunkSink = std::function<bool(std::string_view)>;

// Reads the next piece of a child's output log: "windows_xray" names the proxy core's log and
// "windows_tun2socks" the tunnel bridge's (the protocol's words on every platform); any other
// source names none. Keeps no state, takes no lock and never throws for a missing or unreadable
// file: the caller tells those cases apart only by `fileSize` and an unchanged `nextOffset`.
// The bytes go to `sink` as they are read, in chunks of kLogChunkBytes, so that no request,
// whatever its `maxBytes` and however large or sparse the log, makes the service hold the piece
// in memory; `nextOffset` counts the bytes handed on. On
// Windows, whose answer is one pipe message that the endpoint gathers whole, a piece is at most
// kLogAnswerBytes of log (the client asks again from `nextOffset`).
LogDelta streamLogDelta(const std::string& source, std::int64_t offset, std::int64_t maxBytes,
                        const LogChunkSink& sink);
inline constexpr std::size_t kLogChunkBytes = 65536;
inline constexpr std::int64_t kLogAnswerBytes = 1 << 20;

// Where one read starts and how many bytes it asks for.
struct LogReadPlan {
    std::int64_t position = 0;
    std::uint32_t count = 0;
};

// The read to make in a log of `size` bytes, or nothing when `offset` is at or past its end.
std::optional<LogReadPlan> planLogRead(std::int64_t size, std::int64_t offset,
                                       std::int64_t maxBytes);

// Platform part: opens `fileName` in the temporary directory (the same path the child's log was
// created at, read afresh) for reading without keeping the child from writing, queries its size,
// and reads what planLogRead asks for into `sink`.
LogDelta readLogFile(const std::string& fileName, std::int64_t offset, std::int64_t maxBytes,
                     const LogChunkSink& sink);

}  // namespace halvern
