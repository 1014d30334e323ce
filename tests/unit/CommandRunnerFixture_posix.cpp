#include <sys/wait.h>

#include <fstream>
#include <string>

#include "unit/CommandRunnerFixture.h"

namespace halvern::testing {

CommandRunnerTest::~CommandRunnerTest() = default;

CommandLine CommandRunnerTest::exitingWith(std::uint32_t code) {
    shown_ = code > 128 ? "sh -c kill -11 $$" : "sh -c exit 1";
    return {"sh", "-c",
            code > 128 ? "kill -" + std::to_string(code - 128) + " $$"
                       : "exit " + std::to_string(code)};
}

CommandLine CommandRunnerTest::sleeping() {
    shown_ = "sh -c sleep 30 & echo $! > '" + directory_.path().string() + "/pid'; wait";
    return {"sh", "-c",
            "sleep 30 & echo $! > '" + (directory_.path() / "pid").string() + "'; wait"};
}

void CommandRunnerTest::expectSlowCommandDealtWith(const CommandLine& /*command*/) {
    std::uint32_t grandchild = 0;
    std::ifstream(directory_.path() / "pid") >> grandchild;
    ASSERT_GT(grandchild, 1U);
    // What the shell started died with it, and is at most a zombie until init collects it.
    EXPECT_TRUE(eventually([&] { return processHasEnded(grandchild); }, 2000));
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a command was left unreaped";
}

}  // namespace halvern::testing
