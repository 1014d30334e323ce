#include "tunnel/LogDeltaReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <string>

#include "processes/ProcessLauncher.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kHighest = std::numeric_limits<std::int64_t>::max();

void expectDelta(const LogDelta& delta, const std::string& content, std::int64_t nextOffset,
                 std::int64_t fileSize) {
    EXPECT_EQ(delta.content, content);
    EXPECT_EQ(delta.nextOffset, nextOffset);
    EXPECT_EQ(delta.fileSize, fileSize);
}

void writeLog(const char* source, const std::string& bytes) {
    testing::writeFileBytes(
        ProcessLauncher::tempFilePath(std::string("halvern_") + source + "_output.log"), bytes);
}

TEST(LogDeltaReader, OffsetsAndLimitsOfOneRead) {
    const testing::ScopedRuntimeDirectory runtime;
    std::string bytes;  // 100 bytes that tell their own position
    for (int i = 0; i < 100; ++i) {
        bytes += static_cast<char>('!' + i % 90);
    }
    writeLog("xray", bytes);
    const struct {
        std::int64_t offset, maxBytes;
        std::string content;
        std::int64_t nextOffset;
    } cases[] = {
        {0, 65536, bytes, 100},
        {40, 10, bytes.substr(40, 10), 50},
        {99, 10, bytes.substr(99), 100},
        {100, 10, "", 100},
        {7000, 10, "", 7000},  // past the end: the offset stays
        {30, 0, "", 30},
        // Cut to 32 bits these would ask for 10 bytes, 0 bytes, or nearly 4 GiB.
        {0, (std::int64_t{1} << 32) + 10, bytes, 100},
        {0, std::int64_t{1} << 32, bytes, 100},
        {60, kHighest, bytes.substr(60), 100},
        {10, -1, "", 10},
        {10, kLowest, "", 10},
        // A negative offset reads from the start but reports from the offset.
        {-10, 65536, bytes, 90},
        {-10, 30, bytes.substr(0, 30), 20},
        {kLowest, 5, bytes.substr(0, 5), kLowest + 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + " " + std::to_string(c.maxBytes));
        expectDelta(readLogDelta("windows_xray", c.offset, c.maxBytes), c.content, c.nextOffset,
                    100);
    }
    // Source words are exact; the bridge's log does not exist yet, the same answer.
    for (const std::string source : {"", "xray", "Windows_xray", "windows_xray ", "windows_",
                                     "halvern_xray_output.log", "windows_tun2socks"}) {
        expectDelta(readLogDelta(source, 42, 100), "", 42, 0);
    }
    // Passed on byte for byte; a piece may end inside a multi-byte character.
    const std::string binary("a\r\nb\0c\xff\xfe\n\xe2\x82", 11);
    writeLog("tun2socks", binary);
    expectDelta(readLogDelta("windows_tun2socks", 0, 65536), binary, 11, 11);
    expectDelta(readLogDelta("windows_tun2socks", 9, 1), "\xe2", 10, 11);
}

TEST(LogDeltaReader, EmptiedLogsAndAWriterThatKeepsTheLogOpen) {
    const testing::ScopedRuntimeDirectory runtime;
    expectDelta(readLogDelta("windows_tun2socks", 12, 65536), "", 12, 0);  // before any child

    // A restart empties the log below the client's offset: the reader reports the smaller size
    // and leaves the offset alone, and the client starts over from 0.
    writeLog("xray", std::string(600, 'a'));
    expectDelta(readLogDelta("windows_xray", 500, 65536), std::string(100, 'a'), 600, 600);
    writeLog("xray", std::string(20, 'b'));
    expectDelta(readLogDelta("windows_xray", 500, 65536), "", 500, 20);
    expectDelta(readLogDelta("windows_xray", 0, 65536), std::string(20, 'b'), 20, 20);

    // The reader must not demand exclusive access, or it is locked out while the child runs.
    std::ofstream writer(ProcessLauncher::tempFilePath("halvern_xray_output.log"),
                         std::ios::binary | std::ios::trunc);
    expectDelta(readLogDelta("windows_xray", 0, 65536), "", 0, 0);
    writer << "first line\n" << std::flush;
    expectDelta(readLogDelta("windows_xray", 0, 65536), "first line\n", 11, 11);
    writer << "second" << std::flush;
    expectDelta(readLogDelta("windows_xray", 11, 65536), "second", 17, 17);
}

}  // namespace
}  // namespace halvern
