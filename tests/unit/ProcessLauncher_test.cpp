#include "processes/ProcessLauncher.h"

#include <gtest/gtest.h>

#include <string>

#include "support/TestSupport.h"

namespace halvern {
namespace {

TEST(LogTail, ReturnsTheLastBytesUntouchedFromTheCurrentTemporaryDirectory) {
    testing::ScopedRuntimeDirectory runtime;
    const std::string big = testing::fillPattern(9999) + "\xE2";  // ends inside a UTF-8 sequence
    testing::writeFileBytes(runtime.path() / "big.log", big);
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 2048), big.substr(big.size() - 2048));
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 20000), big);
    EXPECT_EQ(ProcessLauncher::readLogTail("missing.log", 2048), "");
    {
        testing::ScopedRuntimeDirectory second;  // the directory is read afresh on every call
        EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 100), "");
    }
    EXPECT_EQ(ProcessLauncher::readLogTail("big.log", 1), "\xE2");
}

}  // namespace
}  // namespace halvern
