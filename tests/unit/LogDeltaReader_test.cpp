#include "tunnel/LogDeltaReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <numeric>
#include <string>
#include <utility>

#include "processes/SessionFiles.h"
#include "support/TestSupport.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace halvern {
namespace {

constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();

// A piece as the client gets it: the bytes handed on, then where it ended.
using Piece = std::pair<std::string, LogDelta>;
Piece read(const std::string& source, std::int64_t offset, std::int64_t maxBytes) {
    Piece piece;
    piece.second = streamLogDelta(source, offset, maxBytes, [&piece](std::string_view chunk) {
        piece.first.append(chunk);
        return true;
    });
    return piece;
}

TEST(LogDeltaReader, APieceStaysInsideTheLogAndNothingPlantedUnderItsNameIsRead) {
    const testing::ScopedRuntimeDirectory runtime;
    const auto coreLog = tempFilePath("halvern_xray_output.log");
    std::string bytes(100, '\0');  // bytes that tell their own position
    std::iota(bytes.begin(), bytes.end(), '\x01');
    testing::writeFileBytes(coreLog, bytes);
    const struct {
        std::int64_t offset, maxBytes;
        std::string content;
        std::int64_t nextOffset;
    } cases[] = {
        {7000, 10, "", 7000},  // past the end, as after a restart emptied the log: the offset stays
        // Cut to 32 bits these would ask for 10 bytes or nearly 4 GiB.
        {0, (std::int64_t{1} << 32) + 10, bytes, 100},
        {60, std::numeric_limits<std::int64_t>::max(), bytes.substr(60), 100},
        {10, -1, "", 10},
        // A negative offset reads from the start but reports from the offset.
        {-10, 65536, bytes, 90},
        {kLowest, 5, bytes.substr(0, 5), kLowest + 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " " + std::to_string(c.maxBytes));
        EXPECT_EQ(read("windows_xray", c.offset, c.maxBytes),
                  (Piece{c.content, {c.nextOffset, 100}}));
    }
    // Source words are exact; the bridge's log does not exist yet, the same answer.
    for (const std::string source : {"xray", "windows_xray ", "windows_tun2socks"}) {
        EXPECT_EQ(read(source, 42, 100), (Piece{"", {42, 0}}));
    }
    // Passed on byte for byte; a piece may end inside a multi-byte character.
    const std::string binary("a\r\nb\0c\xff\xfe\n\xe2\x82", 11);
    testing::writeFileBytes(tempFilePath("halvern_tun2socks_output.log"), binary);
    EXPECT_EQ(read("windows_tun2socks", 0, 65536), (Piece{binary, {11, 11}}));

    // On Windows one answer is one pipe message, and holds at most kLogAnswerBytes of log.
    testing::writeFileBytes(coreLog, std::string(kLogAnswerBytes + 10, 'L'));
    EXPECT_EQ(read("windows_xray", 5, std::int64_t{1} << 40).second.nextOffset,
              testing::kOnWindows ? kLogAnswerBytes + 5 : kLogAnswerBytes + 10);

    // Nothing planted under a log's name (Windows: a second link too) is read, or makes it hang.
    const auto bridgeLog = runtime.path() / "halvern_tun2socks_output.log";
    const auto notRead = [&](const auto& plant) {
        std::filesystem::remove(coreLog);
        plant();
        EXPECT_EQ(read("windows_xray", 3, 65536), (Piece{"", {3, 0}}));
    };
    notRead([&] { std::filesystem::create_directory(coreLog); });
    notRead([&] {
        testing::kOnWindows ? std::filesystem::create_hard_link(bridgeLog, coreLog)
                            : std::filesystem::create_symlink(bridgeLog, coreLog);
    });
#ifndef _WIN32  // Windows has no FIFOs
    notRead([&] { ASSERT_EQ(::mkfifo(coreLog.c_str(), 0600), 0); });
#endif
}

}  // namespace
}  // namespace halvern
