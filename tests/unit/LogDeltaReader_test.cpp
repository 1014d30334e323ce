#include "tunnel/LogDeltaReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <system_error>

#include "processes/ProcessLauncher.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

constexpr const char* kXrayLog = "halvern_xray_output.log";
constexpr const char* kBridgeLog = "halvern_tun2socks_output.log";

// 100 bytes that tell their own position: "00 01 02 ..." would repeat, so use letters + digits.
std::string hundredBytes() {
    std::string bytes;
    for (int i = 0; i < 100; ++i) {
        bytes += static_cast<char>('!' + i % 90);
    }
    return bytes;
}

// Each case gets a temporary directory of its own, as the service's children would write to.
class LogDeltaReaderTest : public ::testing::Test {
  protected:
    testing::ScopedRuntimeDirectory runtimeDirectory_;
};

void expectDelta(const LogDelta& delta, const std::string& content, std::int64_t nextOffset,
                 std::int64_t fileSize) {
    EXPECT_EQ(delta.content, content);
    EXPECT_EQ(delta.nextOffset, nextOffset);
    EXPECT_EQ(delta.fileSize, fileSize);
}

TEST_F(LogDeltaReaderTest, ReadsPiecesOfEitherLog) {
    const std::string bytes = hundredBytes();
    testing::writeFileBytes(ProcessLauncher::tempFilePath(kXrayLog), bytes);
    testing::writeFileBytes(ProcessLauncher::tempFilePath(kBridgeLog), "bridge says hi\n");

    expectDelta(readLogDelta("windows_xray", 0, 65536), bytes, 100, 100);
    expectDelta(readLogDelta("windows_xray", 40, 10), bytes.substr(40, 10), 50, 100);
    expectDelta(readLogDelta("windows_xray", 99, 10), bytes.substr(99), 100, 100);
    expectDelta(readLogDelta("windows_xray", 100, 10), "", 100, 100);
    expectDelta(readLogDelta("windows_xray", 7000, 10), "", 7000, 100);
    expectDelta(readLogDelta("windows_xray", 30, 0), "", 30, 100);
    expectDelta(readLogDelta("windows_tun2socks", 7, 65536), "says hi\n", 15, 15);
}

TEST_F(LogDeltaReaderTest, SourceWordsAreExact) {
    testing::writeFileBytes(ProcessLauncher::tempFilePath(kXrayLog), hundredBytes());
    for (const std::string source : {"", "xray", "Windows_xray", "windows_xray ", "windows_",
                                     "halvern_xray_output.log", "windows_tun2socks"}) {
        SCOPED_TRACE(source);
        // The bridge's log does not exist yet: same answer as for a word that names no log.
        expectDelta(readLogDelta(source, 42, 100), "", 42, 0);
    }
}

TEST_F(LogDeltaReaderTest, LimitsOutsideOneReadAreClamped) {
    const std::string bytes = hundredBytes();
    testing::writeFileBytes(ProcessLauncher::tempFilePath(kXrayLog), bytes);
    constexpr std::int64_t kFourGiB = std::int64_t{1} << 32;

    // Cut to 32 bits these would ask for 10 bytes, 0 bytes, or a buffer of nearly 4 GiB.
    expectDelta(readLogDelta("windows_xray", 0, kFourGiB + 10), bytes, 100, 100);
    expectDelta(readLogDelta("windows_xray", 0, kFourGiB), bytes, 100, 100);
    expectDelta(readLogDelta("windows_xray", 60, std::numeric_limits<std::int64_t>::max()),
                bytes.substr(60), 100, 100);
    expectDelta(readLogDelta("windows_xray", 10, -1), "", 10, 100);
    expectDelta(readLogDelta("windows_xray", 10, std::numeric_limits<std::int64_t>::min()), "", 10,
                100);
}

TEST_F(LogDeltaReaderTest, NegativeOffsetReadsFromTheStartButReportsFromTheOffset) {
    const std::string bytes = hundredBytes();
    testing::writeFileBytes(ProcessLauncher::tempFilePath(kXrayLog), bytes);

    expectDelta(readLogDelta("windows_xray", -10, 65536), bytes, 90, 100);
    expectDelta(readLogDelta("windows_xray", -10, 30), bytes.substr(0, 30), 20, 100);
    constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();
    expectDelta(readLogDelta("windows_xray", kLowest, 5), bytes.substr(0, 5), kLowest + 5, 100);
}

TEST_F(LogDeltaReaderTest, MissingAndEmptiedLogs) {
    // Before any child ran.
    expectDelta(readLogDelta("windows_xray", 0, 65536), "", 0, 0);
    expectDelta(readLogDelta("windows_tun2socks", 12, 65536), "", 12, 0);

    // A restart empties the log below the client's offset: the reader reports the smaller size
    // and leaves the offset alone, and the client starts over from 0.
    testing::writeFileBytes(ProcessLauncher::tempFilePath(kXrayLog), std::string(600, 'a'));
    expectDelta(readLogDelta("windows_xray", 500, 65536), std::string(100, 'a'), 600, 600);
    testing::writeFileBytes(ProcessLauncher::tempFilePath(kXrayLog), std::string(20, 'b'));
    expectDelta(readLogDelta("windows_xray", 500, 65536), "", 500, 20);
    expectDelta(readLogDelta("windows_xray", 0, 65536), std::string(20, 'b'), 20, 20);

    testing::writeFileBytes(ProcessLauncher::tempFilePath(kXrayLog), "");
    expectDelta(readLogDelta("windows_xray", 0, 65536), "", 0, 0);
}

TEST_F(LogDeltaReaderTest, ReadsWhileAWriterKeepsTheLogOpen) {
    // The writer shares the file the way the children's logs are created; the reader must not
    // demand exclusive access, or it would be locked out for as long as the child runs.
    std::ofstream writer(ProcessLauncher::tempFilePath(kXrayLog),
                         std::ios::binary | std::ios::trunc);
    writer << "first line\n" << std::flush;
    expectDelta(readLogDelta("windows_xray", 0, 65536), "first line\n", 11, 11);
    writer << "second" << std::flush;
    expectDelta(readLogDelta("windows_xray", 11, 65536), "second", 17, 17);
    expectDelta(readLogDelta("windows_xray", 17, 65536), "", 17, 17);
}

TEST_F(LogDeltaReaderTest, ContentIsPassedOnByteForByte) {
    const std::string bytes("a\r\nb\0c\xff\xfe\n\xe2\x82", 11);
    testing::writeFileBytes(ProcessLauncher::tempFilePath(kBridgeLog), bytes);
    expectDelta(readLogDelta("windows_tun2socks", 0, 65536), bytes, 11, 11);
    // A piece may end inside a multi-byte character; nothing is trimmed or decoded.
    expectDelta(readLogDelta("windows_tun2socks", 9, 1), "\xe2", 10, 11);
}

}  // namespace
}  // namespace halvern
