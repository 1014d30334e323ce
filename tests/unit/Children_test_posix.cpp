// A child's life on POSIX: how its program is found, how its end is read (once, by its owner,
// and moved with the owner), and how the crash replay ends one recorded earlier.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include "common/ChildPid.h"
#include "common/MonotonicClock.h"
#include "common/ProcessIdentity.h"
#include "processes/ChildSpawn.h"
#include "support/TestSupport.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;

// As execvp searches: what cannot be there is passed over, what cannot run ends the search.
TEST(ChildSpawn, ABareNameIsSearchedAlongPathAsExecvpSearches) {
    const testing::ScopedTempDirectory scratch;
    const fs::path first = scratch.path() / "first";
    const fs::path second = scratch.path() / "second";
    fs::create_directories(first);
    fs::create_directories(second);
    testing::writeFileBytes(second / "prog", "#!/bin/sh\nexit 0\n");
    fs::permissions(second / "prog", fs::perms::owner_all);
    const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
    const std::string savedPath = path != nullptr ? path : "";
    ::setenv("PATH", (first.string() + ":" + second.string()).c_str(), 1);  // NOLINT
    const auto startError = [] {
        ChildSpawnError failure;
        ChildPid child = spawnChild({{"prog"}, "prog", {}, -1, {}}, {}, failure);
        EXPECT_EQ(child.valid(), failure.error == 0);
        return failure.error;
    };
    fs::create_symlink(first / "prog", first / "prog");  // ELOOP
    EXPECT_EQ(startError(), 0);
    fs::remove(first / "prog");
    testing::writeFileBytes(first / "prog", "no program\n");  // no #! and no ELF header
    fs::permissions(first / "prog", fs::perms::owner_all);
    EXPECT_EQ(startError(), ENOEXEC);
    ::setenv("PATH", savedPath.c_str(), 1);  // NOLINT(concurrency-mt-unsafe)
}

TEST(ChildPid, AnEndedChildsStatusMovesWithItsOwner) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(7);
    }
    ChildPid first(pid);
    std::optional<int> status = first.waitStatusIfExited();
    for (const auto start = MonotonicClock::now(); !status && elapsedMilliseconds(start) < 5000;) {
        sleepMilliseconds(5);
        status = first.waitStatusIfExited();
    }
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 7);
    ChildPid second;
    second = std::move(first);
    ChildPid third(std::move(second));
    EXPECT_EQ(third.waitStatusIfExited(), status);
}

// Reaped behind the owner's back, the number may already be someone else's: no kill, no wait.
TEST(ChildPid, AChildReapedElsewhereIsLetGoAtOnce) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::_exit(0);
    }
    ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    ChildPid lost(pid);
    const auto start = MonotonicClock::now();
    lost.reset(60000);
    EXPECT_LT(elapsedMilliseconds(start), 30000);
}

// The crash replay ends a recorded child by its group, and by itself where it left the group.
TEST(RecordedProcess, OneOutsideItsOwnGroupIsEndedByItself) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::pause();  // in the test's group, not one of its own
        ::_exit(0);
    }
    const ChildPid owner(pid);
    EXPECT_EQ(endRecordedProcess(static_cast<std::uint32_t>(pid),
                                 processStartMark(static_cast<std::uint32_t>(pid))),
              RecordedProcessOutcome::ended);
    EXPECT_TRUE(testing::processHasEnded(static_cast<std::uint32_t>(pid)));
}

}  // namespace
}  // namespace halvern
