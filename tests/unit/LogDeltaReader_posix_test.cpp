#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "processes/ProcessLauncher.h"
#include "support/TestSupport.h"
#include "tunnel/LogDeltaReader.h"

namespace halvern {
namespace {

// The runtime directory is where a privileged service reads on a client's behalf: nothing
// planted there under a log's name may make it read another file or hang. The directory is
// looked up again on every call.
TEST(LogDeltaReaderPosix, OnlyAPlainFileUnderTheLogNameIsRead) {
    const testing::ScopedRuntimeDirectory runtimeDirectory;
    const testing::ScopedTempDirectory elsewhere;
    testing::writeFileBytes(elsewhere.path() / "secret", "not for clients");
    const auto log = ProcessLauncher::tempFilePath("halvern_xray_output.log");
    const auto expectNothing = [] {
        const LogDelta delta = readLogDelta("windows_xray", 3, 65536);
        EXPECT_EQ(delta.content, "");
        EXPECT_EQ(delta.nextOffset, 3);
        EXPECT_EQ(delta.fileSize, 0);
    };
    std::filesystem::create_symlink(elsewhere.path() / "secret", log);
    expectNothing();
    std::filesystem::remove(log);
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
    expectNothing();
    std::filesystem::remove(log);
    std::filesystem::create_directory(log);
    expectNothing();
    const testing::ScopedRuntimeDirectory second;
    testing::writeFileBytes(ProcessLauncher::tempFilePath("halvern_xray_output.log"), "one");
    EXPECT_EQ(readLogDelta("windows_xray", 0, 100).content, "one");
}

}  // namespace
}  // namespace halvern
